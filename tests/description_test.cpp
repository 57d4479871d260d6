// The text description of a firmware image: identity fields, sizes, the two
// dump layouts and the CSR DFU header lines, compared byte for byte.
#include "kr_dfufirmware.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

using kr::DfuFirmware;
using testsupport::Bytes;
using testsupport::captureOutput;
using testsupport::countingBytes;

namespace {

std::string describe(const DfuFirmware& fw, uint32_t lines, uint32_t bytesPerLine,
                     const char* name = "test.dfu")
{
    return captureOutput([&](FILE* out) { fw.printDescription(out, name, lines, bytesPerLine); });
}

std::string afterFirstLine(const std::string& text)
{
    const size_t end = text.find('\n');
    return end == std::string::npos ? std::string() : text.substr(end + 1);
}

std::string repeat(const std::string& piece, size_t times)
{
    std::string text;
    for (size_t i = 0; i < times; ++i)
        text += piece;
    return text;
}

std::string hexPairs(const Bytes& bytes)
{
    std::string text;
    char pair[8];
    for (uint8_t byte : bytes) {
        std::snprintf(pair, sizeof pair, " %02x", byte);
        text += pair;
    }
    return text;
}

// The lines before the firmware dump of an image without aux data and with
// the default identity fields.
std::string headerWithoutAux(uint32_t firmwareSize)
{
    return "  VendorID:        0xffff\n"
           "  ProductID:       0xffff\n"
           "  DeviceRelease:   0xffff\n"
           "  Aux data size:   0 bytes\n"
           "  Firmware size:   " + std::to_string(firmwareSize) + " bytes\n";
}

DfuFirmware withPayload(const Bytes& payload)
{
    DfuFirmware fw;
    fw.setData(payload.data(), static_cast<uint32_t>(payload.size()));
    return fw;
}

// A payload that starts with a 100-byte CSR DFU header.
Bytes csrPayload(size_t size, uint32_t fileLength, const char* description)
{
    Bytes payload(size, 0xFF);
    std::fill(payload.begin(), payload.begin() + 100, 0);
    std::memcpy(payload.data(), "CSR-dfu1", 8);
    payload[8] = 0x01;
    for (int i = 0; i < 4; ++i)
        payload[10 + i] = static_cast<uint8_t>(fileLength >> (8 * i));
    payload[14] = 100;
    std::memcpy(payload.data() + 16, description, std::strlen(description));
    return payload;
}

} // namespace

TEST(Description, SmallImageWithCompactDumps)
{
    DfuFirmware fw;
    fw.setVendorId(0xABCD);
    fw.setProductId(0x0102);
    fw.setDeviceRelease(0x0203);
    const uint8_t aux[] = {0x41, 0x42, 0x00};
    ASSERT_TRUE(fw.setAuxData(aux, 3));
    Bytes payload = {'H', 'e', 'l', 'l', 'o', ',', ' ', 'D', 'F', 'U', ' ',
                     'w', 'o', 'r', 'l', 'd', '!', '\r', '\n'};
    const Bytes tail = countingBytes(21);
    payload.insert(payload.end(), tail.begin(), tail.end());
    fw.setData(payload.data(), 40);

    const std::string text = describe(fw, 8, 32, "small.dfu");
    char firstLine[128];
    std::snprintf(firstLine, sizeof firstLine, "Firmware object @ %p: small.dfu\n",
                  static_cast<const void*>(&fw));
    EXPECT_EQ(0u, text.find(firstLine));
    EXPECT_EQ(
        "  VendorID:        0xabcd\n"
        "  ProductID:       0x0102\n"
        "  DeviceRelease:   0x0203\n"
        "  Aux data size:   3 bytes\n"
        "    AuxData:  41 42 00 : AB.\n"
        "  Firmware size:   40 bytes\n"
        "    Firmware:  48 65 6c 6c 6f 2c 20 44 46 55 20 77 6f 72 6c 64 21 0d 0a 00 01 02 03 04 05 06"
        " 07 08 09 0a 0b 0c : Hello, DFU world!...............\n"
        ":  0d 0e 0f 10 11 12 13 14 : ........\n",
        afterFirstLine(text));
}

TEST(Description, CsrImageWithBlockDump)
{
    const DfuFirmware fw = withPayload(csrPayload(600, 600, "Demo image"));
    const std::string zeros = repeat(" 00", 32) + " : " + repeat(".", 32) + "\n";
    const std::string ones = repeat(" ff", 32) + " : " + repeat(".", 32) + "\n";
    EXPECT_EQ(
        headerWithoutAux(600) +
            "    Firmware\n"
            "        00000000:  43 53 52 2d 64 66 75 31 01 00 58 02 00 00 64 00 44 65 6d 6f 20 69"
            " 6d 61 67 65 00 00 00 00 00 00 : CSR-dfu1..X...d.Demo image......\n"
            "        00000020: " + zeros +
            "        00000040: " + zeros +
            "        00000060: " + repeat(" 00", 4) + repeat(" ff", 28) + " : " + repeat(".", 32) + "\n"
            "        00000080: " + ones +
            "        000000a0: " + ones +
            "        000000c0: " + ones +
            "        000000e0: " + ones +
            "        (344 of 600 bytes not shown)\n"
            "  CSR file id:     CSR-dfu1\n"
            "  CSR file vers:   0x0001\n"
            "  CSR file len:    0x0258\n"
            "  CSR hdr len:     0x0064\n"
            "  CSR file desc:   Demo image" + repeat(".", 54) + "\n",
        afterFirstLine(describe(fw, 8, 32)));
}

TEST(Description, EmptyImagePrintsSizesOnly)
{
    const std::string text = describe(DfuFirmware(), 8, 32, "empty.dfu");
    EXPECT_EQ(headerWithoutAux(0), afterFirstLine(text));
    EXPECT_EQ(0u, text.find("Firmware object @ "));
    EXPECT_NE(std::string::npos, text.find(": empty.dfu\n"));
}

// The layout depends on the number of full lines (at most 16: compact), the
// cut on the number of lines to show.
TEST(Description, DumpLayouts)
{
    struct Case {
        size_t size;
        uint32_t lines;
        std::string dump;
    };
    const Bytes data = countingBytes(600, 0x41);
    auto bytes = [&data](size_t from, size_t to) { return Bytes(data.begin() + from, data.begin() + to); };
    auto text = [&data](size_t from, size_t to) {
        std::string shown;
        for (size_t i = from; i < to; ++i)
            shown += data[i] >= 0x20 && data[i] <= 0x7E ? static_cast<char>(data[i]) : '.';
        return shown;
    };
    auto blockLine = [&](const char* offset, size_t from, size_t to) {
        return std::string("        ") + offset + ": " + hexPairs(bytes(from, to)) + " : " + text(from, to) + "\n";
    };
    std::string eightBlockLines;
    const char* offsets[] = {"00000000", "00000020", "00000040", "00000060",
                             "00000080", "000000a0", "000000c0", "000000e0"};
    for (size_t i = 0; i < 8; ++i)
        eightBlockLines += blockLine(offsets[i], 32 * i, 32 * i + 32);
    std::string compact543;
    for (size_t i = 0; i < 8; ++i)
        compact543 += std::string(i == 0 ? "    Firmware: " : ": ") + hexPairs(bytes(32 * i, 32 * i + 32)) +
                      " : " + text(32 * i, 32 * i + 32) + "\n";

    const Case cases[] = {
        {16, 8, "    Firmware: " + hexPairs(bytes(0, 16)) + " : " + text(0, 16) + "\n"},
        {544, 8, "    Firmware\n" + eightBlockLines + "        (288 of 544 bytes not shown)\n"},
        {543, 8, compact543 + "        (287 of 543 bytes not shown)\n"},
        {256, 8, compact543},
        {33, 1, "    Firmware: " + hexPairs(bytes(0, 32)) + " : " + text(0, 32) + "\n" +
                    "        (1 of 33 bytes not shown)\n"},
        {16, 0, ""},
    };
    for (const Case& c : cases) {
        const std::string described = afterFirstLine(describe(withPayload(bytes(0, c.size)), c.lines, 32));
        EXPECT_EQ(headerWithoutAux(static_cast<uint32_t>(c.size)) + c.dump, described)
            << c.size << " bytes, " << c.lines << " lines";
    }
}

TEST(Description, ShortLastBlockLineIsPaddedToTheTextColumn)
{
    const Bytes data = countingBytes(549, 0x20);
    const std::string text = describe(withPayload(data), 20, 32);
    const std::string lastLine = "        00000220:  40 41 42 43 44" + repeat("   ", 27) + " : @ABCD\n";
    ASSERT_GE(text.size(), lastLine.size());
    EXPECT_EQ(lastLine, text.substr(text.size() - lastLine.size()));
    EXPECT_EQ(std::string::npos, text.find("not shown"));
    EXPECT_NE(std::string::npos, text.find("        00000200: "));
}

TEST(Description, AuxDataIsNeverCutAndZeroBytesPerLinePrintsNoDumps)
{
    DfuFirmware fw;
    const Bytes aux = countingBytes(239, 0x30);
    ASSERT_TRUE(fw.setAuxData(aux.data(), 239));
    const Bytes payload = countingBytes(100);
    fw.setData(payload.data(), 100);

    const std::string oneLine = afterFirstLine(describe(fw, 1, 32));
    const size_t auxStart = oneLine.find("    AuxData: ");
    const size_t auxEnd = oneLine.find("  Firmware size:");
    ASSERT_NE(std::string::npos, auxStart);
    ASSERT_NE(std::string::npos, auxEnd);
    const std::string auxDump = oneLine.substr(auxStart, auxEnd - auxStart);
    EXPECT_EQ(8, std::count(auxDump.begin(), auxDump.end(), '\n'));
    EXPECT_EQ(std::string::npos, auxDump.find("not shown"));
    EXPECT_NE(std::string::npos, auxDump.find("\n:  10 11 12 13 14 15 16 17 18 19 1a 1b 1c 1d 1e : ...............\n"));
    EXPECT_NE(std::string::npos, oneLine.find("(68 of 100 bytes not shown)"));

    EXPECT_EQ("  VendorID:        0xffff\n"
              "  ProductID:       0xffff\n"
              "  DeviceRelease:   0xffff\n"
              "  Aux data size:   239 bytes\n"
              "  Firmware size:   100 bytes\n",
              afterFirstLine(describe(fw, 8, 0)));
}

TEST(Description, CsrHeaderNeedsTheFullHundredBytes)
{
    const Bytes header = csrPayload(100, 100, "x");
    EXPECT_NE(std::string::npos, describe(withPayload(header), 8, 32).find("  CSR file id:     CSR-dfu1\n"));
    const std::string short99 = describe(withPayload(Bytes(header.begin(), header.end() - 1)), 8, 32);
    EXPECT_EQ(std::string::npos, short99.find("CSR file"));

    Bytes wrongMarker = header;
    wrongMarker[6] = 'U';
    EXPECT_EQ(std::string::npos, describe(withPayload(wrongMarker), 8, 32).find("CSR file"));
}

TEST(Description, CsrFileLengthNoteAndCharacterRendering)
{
    const std::pair<uint32_t, const char*> lengths[] = {
        {300, "  CSR file len:    0x012c\n"},
        {301, "  CSR file len:    0x012d Note: does not match firmware data size\n"},
        {0x12345678, "  CSR file len:    0x12345678 Note: does not match firmware data size\n"},
        {5, "  CSR file len:    0x0005 Note: does not match firmware data size\n"},
    };
    for (const auto& [length, line] : lengths)
        EXPECT_NE(std::string::npos, describe(withPayload(csrPayload(300, length, "")), 8, 32).find(line))
            << line;

    // Blank and tilde are the printable ends; 0x1f, 0x7f and 0xe9 are not.
    const char description[] = {'a', ' ', 'b', '\xe9', '~', '\x7f', '\x1f', 'z', '\0'};
    EXPECT_NE(std::string::npos, describe(withPayload(csrPayload(300, 300, description)), 8, 32)
                                     .find("  CSR file desc:   a b.~..z" + repeat(".", 56) + "\n"));
}
