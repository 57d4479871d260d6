// The DFU suffix checksum: table, byte path and the bulk path, checked against
// a bit-by-bit reference that shares no code with the implementation.
#include "kr_crc32.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

using testsupport::Bytes;
using testsupport::referenceJamCrc;

namespace {

uint32_t byteByByte(const uint8_t* data, size_t size)
{
    kr::CRC32 crc;
    for (size_t i = 0; i < size; ++i)
        crc.update(data[i]);
    return crc.accumulator();
}

uint32_t bulk(const uint8_t* data, size_t size)
{
    kr::CRC32 crc;
    crc.update(data, size);
    return crc.accumulator();
}

Bytes randomBytes(size_t size, unsigned seed)
{
    std::mt19937 generator(seed);
    Bytes bytes(size);
    for (auto& byte : bytes)
        byte = static_cast<uint8_t>(generator());
    return bytes;
}

const uint8_t kCheckInput[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};

} // namespace

TEST(Crc32, CheckValueIsTheComplementOfTheCommonCrc32)
{
    EXPECT_EQ(0x340BC6D9u, byteByByte(kCheckInput, sizeof kCheckInput));
    EXPECT_EQ(0x340BC6D9u, bulk(kCheckInput, sizeof kCheckInput));
    EXPECT_EQ(~0xCBF43926u, bulk(kCheckInput, sizeof kCheckInput));
}

TEST(Crc32, StartsAtAllOnesAndEmptyInputLeavesTheRegisterAlone)
{
    kr::CRC32 crc;
    EXPECT_EQ(0xFFFFFFFFu, crc.accumulator());
    crc.update(nullptr, 0);
    EXPECT_EQ(0xFFFFFFFFu, crc.accumulator());

    crc.update(kCheckInput, sizeof kCheckInput);
    crc.update(nullptr, 0);
    crc.update(kCheckInput, 0);
    EXPECT_EQ(0x340BC6D9u, crc.accumulator());
}

TEST(Crc32, TableMatchesTheBitwiseDefinition)
{
    EXPECT_EQ(0x00000000u, kr::CRC32::crcTable[0]);
    EXPECT_EQ(0x77073096u, kr::CRC32::crcTable[1]);
    EXPECT_EQ(0x2D02EF8Du, kr::CRC32::crcTable[255]);
    for (uint32_t index = 0; index < 256; ++index) {
        uint32_t entry = index;
        for (int bit = 0; bit < 8; ++bit)
            entry = (entry & 1u) ? (entry >> 1) ^ 0xEDB88320u : entry >> 1;
        EXPECT_EQ(entry, kr::CRC32::crcTable[index]) << "entry " << index;
    }
}

// Sizes around the widths a vectorised routine works in, and a large one.
TEST(Crc32, BulkEqualsByteByByteEqualsReference)
{
    for (size_t size : {1, 3, 15, 16, 17, 63, 64, 65, 255, 256, 1000, 4096, 65537, 1 << 20}) {
        const Bytes data = randomBytes(size, static_cast<unsigned>(size));
        const uint32_t expected = referenceJamCrc(data.data(), data.size());
        EXPECT_EQ(expected, byteByByte(data.data(), data.size())) << "size " << size;
        EXPECT_EQ(expected, bulk(data.data(), data.size())) << "size " << size;
    }
}

// Feeding a buffer in pieces, bulk and byte updates mixed, continues the
// register exactly where the previous piece left it.
TEST(Crc32, IncrementalFeedingAcrossSplitPoints)
{
    const Bytes data = randomBytes(10007, 7);
    const uint32_t expected = referenceJamCrc(data.data(), data.size());
    for (size_t split : {size_t{0}, size_t{1}, size_t{31}, size_t{64}, size_t{4095},
                         size_t{5000}, data.size() - 1, data.size()}) {
        kr::CRC32 twoPieces;
        twoPieces.update(data.data(), split);
        twoPieces.update(data.data() + split, data.size() - split);
        EXPECT_EQ(expected, twoPieces.accumulator()) << "split at " << split;
    }
    for (size_t chunk : {1, 7, 16, 100, 4096}) {
        kr::CRC32 chunks;
        for (size_t at = 0; at < data.size(); at += chunk) {
            const size_t length = std::min(chunk, data.size() - at);
            if ((at / chunk) % 3 == 2) {
                for (size_t i = 0; i < length; ++i)
                    chunks.update(data[at + i]);
            } else {
                chunks.update(data.data() + at, length);
            }
        }
        EXPECT_EQ(expected, chunks.accumulator()) << "chunk " << chunk;
    }
}
