// Little-endian byte order helpers for the DFU file suffix and the CSR header.
// They work byte by byte, so they are independent of the host's byte order and
// of the alignment of `addr`.
#ifndef KR_ENDIAN_H
#define KR_ENDIAN_H

#include <cstddef>
#include <cstdint>

static inline uint16_t kr_EndianReadLittleU16(const uint8_t* addr, size_t offset)
{
    const uint8_t* p = addr + offset;
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

static inline uint32_t kr_EndianReadLittleU32(const uint8_t* addr, size_t offset)
{
    const uint8_t* p = addr + offset;
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

static inline void kr_EndianWriteLittleU16(uint8_t* addr, size_t offset, uint16_t value)
{
    uint8_t* p = addr + offset;
    p[0] = static_cast<uint8_t>(value & 0xFF);
    p[1] = static_cast<uint8_t>(value >> 8);
}

static inline void kr_EndianWriteLittleU32(uint8_t* addr, size_t offset, uint32_t value)
{
    uint8_t* p = addr + offset;
    p[0] = static_cast<uint8_t>(value & 0xFF);
    p[1] = static_cast<uint8_t>((value >> 8) & 0xFF);
    p[2] = static_cast<uint8_t>((value >> 16) & 0xFF);
    p[3] = static_cast<uint8_t>(value >> 24);
}

#endif
