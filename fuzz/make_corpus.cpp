// fuzz_make_corpus OUTDIR: writes the seed corpus of fuzz_dfu_load, small
// DFU files that between them reach every branch of loading and describing:
// empty and non-empty payloads, no aux data up to the largest (bLength 255),
// a payload longer than the trailer-only window, both dump layouts, a CSR
// header, a newer DFU version, and one file whose CRC is wrong.
#include "kr_dfufirmware.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct Seed {
    const char* name;
    Bytes payload;
    Bytes aux;
    uint16_t version;
};

Bytes countingBytes(size_t size, uint8_t first)
{
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(first + i);
    return bytes;
}

Bytes textBytes(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

// A 100-byte CSR DFU header (file length and header length little-endian)
// followed by 0xff up to `size` bytes.
Bytes csrPayload(uint32_t size)
{
    Bytes bytes(size, 0xff);
    const std::string id = "CSR-dfu1";
    const std::string description = "Demo image";
    std::fill(bytes.begin(), bytes.begin() + 100, 0);
    std::copy(id.begin(), id.end(), bytes.begin());
    bytes[8] = 0x01;
    bytes[10] = static_cast<uint8_t>(size);
    bytes[11] = static_cast<uint8_t>(size >> 8);
    bytes[14] = 100;
    std::copy(description.begin(), description.end(), bytes.begin() + 16);
    return bytes;
}

std::vector<Seed> seeds()
{
    Bytes hello = textBytes("Hello, DFU world!\r\n");
    Bytes small = hello;
    Bytes tail = countingBytes(21, 0);
    small.insert(small.end(), tail.begin(), tail.end());
    return {
        {"suffix-only.dfu", {}, {}, 0x0100},
        {"small.dfu", small, {0x41, 0x42, 0x00}, 0x0100},
        {"aux-max.dfu", countingBytes(100, 0x30), countingBytes(239, 0x80), 0x0100},
        {"aux-one.dfu", countingBytes(40, 0), {0x7f}, 0x011a},
        {"compact-543.dfu", countingBytes(543, 0), {}, 0x0100},
        {"block-544.dfu", countingBytes(544, 0), {}, 0x0100},
        {"beyond-window.dfu", countingBytes(1000, 0x10), textBytes("aux"), 0x0100},
        {"csr.dfu", csrPayload(600), {}, 0x0100},
        {"csr-short.dfu", csrPayload(99), {}, 0x0100},
    };
}

bool writeSeed(const std::string& dir, const Seed& seed)
{
    kr::DfuFirmware image;
    if (!seed.payload.empty())
        image.setData(seed.payload.data(), static_cast<uint32_t>(seed.payload.size()));
    if (!seed.aux.empty() &&
        !image.setAuxData(seed.aux.data(), static_cast<uint32_t>(seed.aux.size())))
        return false;
    image.setVendorId(0x1234);
    image.setProductId(0x5678);
    image.setDeviceRelease(0x0100);
    image.setVersion(seed.version);
    return image.save((dir + "/" + seed.name).c_str());
}

// small.dfu with one payload byte changed: the trailer is fine, the CRC not.
bool writeBadChecksumSeed(const std::string& dir)
{
    std::string from = dir + "/small.dfu";
    std::string to = dir + "/bad-crc.dfu";
    FILE* in = std::fopen(from.c_str(), "rb");
    if (!in)
        return false;
    Bytes bytes(4096);
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), in));
    std::fclose(in);
    if (bytes.size() < 20)
        return false;
    bytes[7] ^= 0x20;
    FILE* out = std::fopen(to.c_str(), "wb");
    if (!out)
        return false;
    bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    return std::fclose(out) == 0 && written;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_make_corpus OUTDIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    int count = 0;
    for (const Seed& seed : seeds()) {
        if (!writeSeed(dir, seed)) {
            std::fprintf(stderr, "fuzz_make_corpus: cannot write %s/%s\n", dir.c_str(), seed.name);
            return 1;
        }
        ++count;
    }
    if (!writeBadChecksumSeed(dir)) {
        std::fprintf(stderr, "fuzz_make_corpus: cannot write %s/bad-crc.dfu\n", dir.c_str());
        return 1;
    }
    std::printf("fuzz_make_corpus: %d seed files in %s\n", count + 1, dir.c_str());
    return 0;
}
