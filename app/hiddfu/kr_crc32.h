// The checksum register of the DFU file suffix: the reflected CRC-32
// (polynomial 0xEDB88320 in reflected form), preset to 0xFFFFFFFF and never
// finally inverted (CRC-32/JAMCRC). The register is therefore the bitwise
// complement of the common CRC-32 of the same bytes.
//
// Internal to the firmware module; the benchmark and the tests include it too.
#ifndef KR_CRC32_H
#define KR_CRC32_H

#include <cstddef>
#include <cstdint>

namespace kr {

class CRC32 {
public:
    CRC32() : m_accumulator(0xFFFFFFFFu) {}

    // One byte through the 256-entry table.
    void update(uint8_t byte)
    {
        m_accumulator = crcTable[(m_accumulator ^ byte) & 0xFF] ^ (m_accumulator >> 8);
    }

    // The bytes in address order; same register value as feeding them one by
    // one, computed by a vectorised library routine.
    void update(const uint8_t* ptr, size_t size);

    uint32_t accumulator() const { return m_accumulator; }

    static const uint32_t crcTable[256];

private:
    uint32_t m_accumulator;
};

} // namespace kr

#endif
