// The firmware image: DFU file loading (full and trailer-only), saving, aux
// data, payload growth and the copy operations. Files are built by the test
// support code, independently of the loader.
#include "kr_dfufirmware.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

using kr::DfuFirmware;
using testsupport::buildDfuFile;
using testsupport::Bytes;
using testsupport::countingBytes;
using testsupport::DfuContents;
using testsupport::referenceJamCrc;

namespace fs = std::filesystem;

namespace {

constexpr bool kFull = false;
constexpr bool kTrailerOnly = true;

// Positions of the suffix fields counted back from the end of the file.
constexpr size_t kCrcFromEnd = 4;
constexpr size_t kLengthFromEnd = 5;
constexpr size_t kVersionFromEnd = 10;

Bytes payloadOf(const DfuFirmware& fw)
{
    return fw.size() ? Bytes(fw.data(), fw.data() + fw.size()) : Bytes();
}

Bytes auxOf(const DfuFirmware& fw)
{
    return fw.auxSize() ? Bytes(fw.auxData(), fw.auxData() + fw.auxSize()) : Bytes();
}

void expectCleared(const DfuFirmware& fw)
{
    EXPECT_EQ(0x0100, fw.version());
    EXPECT_EQ(0xFFFF, fw.idVendor());
    EXPECT_EQ(0xFFFF, fw.idProduct());
    EXPECT_EQ(0xFFFF, fw.deviceRelease());
    EXPECT_EQ(0u, fw.size());
    EXPECT_EQ(0u, fw.allocSize());
    EXPECT_EQ(nullptr, fw.data());
    EXPECT_EQ(0u, fw.auxSize());
    EXPECT_EQ(nullptr, fw.auxData());
}

void putLE16(Bytes& file, size_t fromEnd, uint16_t value)
{
    file[file.size() - fromEnd] = static_cast<uint8_t>(value);
    file[file.size() - fromEnd + 1] = static_cast<uint8_t>(value >> 8);
}

// Recomputes the trailing CRC after a test changed suffix fields on purpose.
void resealCrc(Bytes& file)
{
    const uint32_t crc = referenceJamCrc(file.data(), file.size() - kCrcFromEnd);
    for (size_t i = 0; i < 4; ++i)
        file[file.size() - kCrcFromEnd + i] = static_cast<uint8_t>(crc >> (8 * i));
}

DfuContents sampleContents(size_t payloadSize = 300, size_t auxSize = 5)
{
    DfuContents contents;
    contents.payload = countingBytes(payloadSize, 0x30);
    contents.aux = countingBytes(auxSize, 0xA0);
    contents.idVendor = 0x0A12;
    contents.idProduct = 0x1004;
    contents.bcdDevice = 0x0203;
    contents.bcdDFU = 0x011A;
    return contents;
}

class DfuFirmwareFile : public ::testing::Test {
protected:
    std::string write(const Bytes& bytes, const std::string& name = "image.dfu")
    {
        const std::string path = m_tmp.path(name);
        testsupport::writeFile(path, bytes);
        return path;
    }

    bool load(DfuFirmware& fw, const Bytes& bytes, bool trailerOnly)
    {
        return fw.load(write(bytes).c_str(), trailerOnly);
    }

    // A file of `totalSize` bytes that is a hole except for `tail` at its
    // end; it costs no disk space on file systems with sparse files.
    std::string writeSparse(uintmax_t totalSize, const Bytes& tail)
    {
        const std::string path = m_tmp.path("sparse.dfu");
        { std::ofstream create(path, std::ios::binary | std::ios::trunc); }
        fs::resize_file(path, totalSize - tail.size());
        std::ofstream out(path, std::ios::binary | std::ios::app);
        out.write(reinterpret_cast<const char*>(tail.data()), static_cast<std::streamsize>(tail.size()));
        if (!out)
            throw std::runtime_error("cannot write " + path);
        return path;
    }

    testsupport::TempDir m_tmp;
};

} // namespace

TEST_F(DfuFirmwareFile, FullLoadSplitsPayloadAuxAndSuffix)
{
    const DfuContents contents = sampleContents(99977, 7);
    const Bytes file = buildDfuFile(contents);
    ASSERT_EQ(100000u, file.size());
    DfuFirmware fw;
    ASSERT_TRUE(load(fw, file, kFull));
    EXPECT_EQ(contents.payload, payloadOf(fw));
    EXPECT_EQ(contents.aux, auxOf(fw));
    EXPECT_EQ(0x0A12, fw.idVendor());
    EXPECT_EQ(0x1004, fw.idProduct());
    EXPECT_EQ(0x0203, fw.deviceRelease());
    EXPECT_EQ(0x011A, fw.version());
    // The buffer was sized for the whole 100000-byte file, then shrunk.
    EXPECT_EQ(114688u, fw.allocSize());
}

TEST_F(DfuFirmwareFile, SmallestFiles)
{
    const Bytes suffixOnly = buildDfuFile(DfuContents{});
    ASSERT_EQ(16u, suffixOnly.size());
    DfuFirmware fw;
    ASSERT_TRUE(load(fw, suffixOnly, kFull));
    EXPECT_EQ(0u, fw.size());
    EXPECT_EQ(0u, fw.auxSize());
    EXPECT_EQ(nullptr, fw.auxData());
    EXPECT_EQ(0x1234, fw.idVendor());

    for (bool mode : {kFull, kTrailerOnly}) {
        EXPECT_FALSE(load(fw, Bytes(suffixOnly.begin() + 1, suffixOnly.end()), mode));
        expectCleared(fw);
        EXPECT_FALSE(load(fw, Bytes(), mode));
    }
}

// bLength decides where the payload ends and the aux data begins.
TEST_F(DfuFirmwareFile, TrailerLengthBounds)
{
    struct Case {
        uint8_t bLength;
        bool loads;
        size_t payloadSize;
    };
    const Case cases[] = {
        {15, false, 0}, {0, false, 0},   {16, true, 24}, {20, true, 20},
        {40, true, 0},  {41, false, 0},  {255, false, 0},
    };
    const Bytes original = buildDfuFile({countingBytes(24), {}, 0x1234, 0x5678, 1, 0x0100});
    ASSERT_EQ(40u, original.size());
    for (const Case& c : cases) {
        SCOPED_TRACE("bLength " + std::to_string(c.bLength));
        Bytes file = original;
        file[file.size() - kLengthFromEnd] = c.bLength;
        resealCrc(file);
        DfuFirmware fw;
        for (bool mode : {kFull, kTrailerOnly})
            ASSERT_EQ(c.loads, load(fw, file, mode));
        if (!c.loads)
            continue;
        ASSERT_TRUE(load(fw, file, kFull));
        EXPECT_EQ(Bytes(original.begin(), original.begin() + c.payloadSize), payloadOf(fw));
        EXPECT_EQ(Bytes(original.begin() + c.payloadSize, original.end() - 16), auxOf(fw));
    }
}

TEST_F(DfuFirmwareFile, SignatureMustReadUFDInFileOrder)
{
    const char* signatures[] = {"DFU", "UFd", "uFD", "UfD", "FUD", "\0\0\0"};
    for (const char* signature : signatures) {
        Bytes file = buildDfuFile(sampleContents());
        std::memcpy(&file[file.size() - 8], signature, 3);
        resealCrc(file);
        DfuFirmware fw;
        EXPECT_FALSE(load(fw, file, kFull)) << signature;
        EXPECT_FALSE(load(fw, file, kTrailerOnly)) << signature;
    }
}

TEST_F(DfuFirmwareFile, DfuVersionMustBeAtLeast0100)
{
    const std::pair<uint16_t, bool> cases[] = {
        {0x0000, false}, {0x00FF, false}, {0x0100, true}, {0x011A, true}, {0xFFFF, true}};
    for (const auto& [version, loads] : cases) {
        Bytes file = buildDfuFile(sampleContents());
        putLE16(file, kVersionFromEnd, version);
        resealCrc(file);
        DfuFirmware fw;
        EXPECT_EQ(loads, load(fw, file, kFull)) << std::hex << version;
        if (loads) {
            EXPECT_EQ(version, fw.version());
        }
    }
}

TEST_F(DfuFirmwareFile, CommonInvertedCrcIsRejectedInFullModeOnly)
{
    Bytes file = buildDfuFile(sampleContents());
    const uint32_t common = ~referenceJamCrc(file.data(), file.size() - kCrcFromEnd);
    for (size_t i = 0; i < 4; ++i)
        file[file.size() - kCrcFromEnd + i] = static_cast<uint8_t>(common >> (8 * i));
    DfuFirmware fw;
    EXPECT_FALSE(load(fw, file, kFull));
    EXPECT_TRUE(load(fw, file, kTrailerOnly));
}

// Every single corrupted byte, in the suffix and in the bytes before it, and
// every truncation must make a full load fail and leave the image cleared.
TEST_F(DfuFirmwareFile, AnyCorruptionOrTruncationFailsFullLoad)
{
    const Bytes valid = buildDfuFile(sampleContents(40, 4));
    for (size_t at = 0; at < valid.size(); ++at) {
        for (uint8_t flip : {0x01, 0x80, 0xFF}) {
            Bytes file = valid;
            file[at] ^= flip;
            DfuFirmware fw;
            ASSERT_TRUE(fw.setAuxData(valid.data(), 3));
            EXPECT_FALSE(load(fw, file, kFull)) << "byte " << at << " ^ " << int(flip);
            expectCleared(fw);
        }
    }
    for (size_t length = 0; length < valid.size(); ++length) {
        DfuFirmware fw;
        EXPECT_FALSE(load(fw, Bytes(valid.begin(), valid.begin() + length), kFull)) << length;
        EXPECT_FALSE(load(fw, Bytes(valid.end() - length, valid.end()), kFull)) << length;
    }
}

TEST_F(DfuFirmwareFile, TrailerOnlyReadsTheLast255Bytes)
{
    struct Case {
        size_t payloadSize;
        size_t auxSize;
    };
    // A 1000-byte file, one whose trailer is exactly the 255 bytes read, and
    // a 100-byte file that is read whole (its trailer is the whole file).
    const Case cases[] = {{974, 10}, {745, 239}, {0, 84}};
    for (const Case& c : cases) {
        const DfuContents contents = sampleContents(c.payloadSize, c.auxSize);
        Bytes file = buildDfuFile(contents);
        file[file.size() - 1] ^= 0x5A; // the CRC is not examined
        DfuFirmware fw;
        ASSERT_TRUE(load(fw, file, kTrailerOnly)) << file.size();
        EXPECT_EQ(0u, fw.size());
        EXPECT_EQ(16384u, fw.allocSize());
        EXPECT_EQ(contents.aux, auxOf(fw));
        EXPECT_EQ(contents.idVendor, fw.idVendor());
        EXPECT_EQ(contents.idProduct, fw.idProduct());
        EXPECT_EQ(contents.bcdDevice, fw.deviceRelease());
        EXPECT_EQ(contents.bcdDFU, fw.version());
        EXPECT_FALSE(load(fw, file, kFull));
    }
}

// Trailer-only mode reads just the end, so a sparse file shows where the size
// limit lies without reading a gigabyte.
TEST_F(DfuFirmwareFile, SizeLimitIsOneGibInclusive)
{
    const Bytes suffix = buildDfuFile(DfuContents{});
    DfuFirmware fw;
    ASSERT_TRUE(fw.load(writeSparse(0x40000000, suffix).c_str(), kTrailerOnly));
    EXPECT_EQ(0x1234, fw.idVendor());

    const std::string tooLarge = writeSparse(0x40000001, suffix);
    EXPECT_FALSE(fw.load(tooLarge.c_str(), kTrailerOnly));
    expectCleared(fw);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(fw.load(tooLarge.c_str(), kFull));
    EXPECT_EQ(0u, fw.allocSize());
    // Rejected on its size alone: a gigabyte was neither allocated nor read.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST_F(DfuFirmwareFile, PathsThatAreNoRegularFileAreRejected)
{
    fs::create_directory(m_tmp.path("folder"));
    std::vector<std::string> paths = {m_tmp.path("missing.dfu"), m_tmp.path("folder"), m_tmp.dir()};
#ifndef _WIN32
    paths.push_back("/dev/null");
#endif
    for (const std::string& path : paths) {
        for (bool mode : {kFull, kTrailerOnly}) {
            DfuFirmware fw;
            EXPECT_FALSE(fw.load(path.c_str(), mode)) << path;
            expectCleared(fw);
        }
    }
    DfuFirmware fw;
    EXPECT_FALSE(fw.load(nullptr, kFull));
}

#ifndef _WIN32
// Opening a FIFO for reading blocks until a writer appears, so the loader
// must refuse it before opening. Should it block anyway, the test opens the
// writer end itself to release it and fails instead of hanging.
TEST_F(DfuFirmwareFile, FifoIsRejectedWithoutBlocking)
{
    const std::string fifo = m_tmp.path("pipe.dfu");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    auto attempt = std::async(std::launch::async, [&fifo] {
        DfuFirmware fw;
        return fw.load(fifo.c_str(), kFull);
    });
    if (attempt.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        std::FILE* writer = std::fopen(fifo.c_str(), "wb");
        if (writer)
            std::fclose(writer);
        attempt.wait();
        FAIL() << "load blocked on a FIFO";
    }
    EXPECT_FALSE(attempt.get());
}
#endif

TEST_F(DfuFirmwareFile, FailedLoadClearsAPreviouslyLoadedImage)
{
    const Bytes valid = buildDfuFile(sampleContents());
    Bytes badCrc = valid;
    badCrc.back() ^= 1;
    const std::vector<std::string> failing = {
        write(badCrc, "badcrc.dfu"), write(Bytes(valid.begin(), valid.end() - 1), "short.dfu"),
        m_tmp.path("missing.dfu"), m_tmp.dir()};
    const std::string good = write(valid, "good.dfu");
    for (const std::string& path : failing) {
        DfuFirmware fw;
        ASSERT_TRUE(fw.load(good.c_str(), kFull));
        ASSERT_NE(0u, fw.auxSize());
        EXPECT_FALSE(fw.load(path.c_str(), kFull)) << path;
        expectCleared(fw);
    }
}

TEST_F(DfuFirmwareFile, SaveWritesTheFileFormatAndLoadsBackEqual)
{
    const DfuContents contents = sampleContents(1000, 239);
    DfuFirmware fw;
    fw.setData(contents.payload.data(), static_cast<uint32_t>(contents.payload.size()));
    ASSERT_TRUE(fw.setAuxData(contents.aux.data(), static_cast<uint32_t>(contents.aux.size())));
    fw.setVendorId(contents.idVendor);
    fw.setProductId(contents.idProduct);
    fw.setDeviceRelease(contents.bcdDevice);
    fw.setVersion(contents.bcdDFU);

    const std::string path = m_tmp.path("saved.dfu");
    ASSERT_TRUE(fw.save(path.c_str()));
    const Bytes saved = testsupport::readFile(path);
    EXPECT_EQ(buildDfuFile(contents), saved);
    EXPECT_EQ(255, saved[saved.size() - kLengthFromEnd]);

    DfuFirmware loaded;
    ASSERT_TRUE(loaded.load(path.c_str(), kFull));
    EXPECT_TRUE(loaded.equals(fw));
    EXPECT_TRUE(loaded == fw);

    DfuFirmware empty;
    ASSERT_TRUE(empty.save(path.c_str()));
    EXPECT_EQ(buildDfuFile({{}, {}, 0xFFFF, 0xFFFF, 0xFFFF, 0x0100}), testsupport::readFile(path));
}

TEST_F(DfuFirmwareFile, SaveWritesAnOldVersionThatLoadThenRejects)
{
    DfuFirmware fw;
    fw.setVersion(0x00FF);
    const std::string path = m_tmp.path("old.dfu");
    ASSERT_TRUE(fw.save(path.c_str()));
    EXPECT_FALSE(fw.load(path.c_str(), kFull));
}

TEST_F(DfuFirmwareFile, SaveReportsFilesThatCannotBeWritten)
{
    DfuFirmware fw;
    EXPECT_FALSE(fw.save(m_tmp.path("no/such/folder.dfu").c_str()));
    EXPECT_FALSE(fw.save(m_tmp.dir().c_str()));
}

#ifdef __linux__
TEST(DfuFirmwareSave, ReportsTheFullDevice)
{
    // Writing to /dev/full would make a plain file of that name if the
    // device node were missing: check what is there first.
    struct stat info;
    if (::stat("/dev/full", &info) != 0 || !S_ISCHR(info.st_mode))
        GTEST_SKIP() << "/dev/full is not a character device on this machine";
    DfuFirmware fw;
    // Writes are buffered: the full device only refuses them on close.
    EXPECT_FALSE(fw.save("/dev/full"));
}
#endif

TEST(DfuFirmwareAuxData, AcceptsUpTo239BytesFromAPresentSource)
{
    const Bytes bytes = countingBytes(240);
    DfuFirmware fw;
    ASSERT_TRUE(fw.setAuxData(bytes.data(), 239));
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 239), auxOf(fw));

    EXPECT_FALSE(fw.setAuxData(bytes.data(), 240));
    EXPECT_FALSE(fw.setAuxData(nullptr, 0));
    EXPECT_FALSE(fw.setAuxData(nullptr, 3));
    EXPECT_EQ(239u, fw.auxSize());

    // Its own aux data as the source: copied before the old buffer goes.
    ASSERT_TRUE(fw.setAuxData(fw.auxData() + 1, 3));
    EXPECT_EQ((Bytes{1, 2, 3}), auxOf(fw));

    ASSERT_TRUE(fw.setAuxData(bytes.data(), 0));
    EXPECT_EQ(0u, fw.auxSize());
    EXPECT_EQ(nullptr, fw.auxData());
}

TEST(DfuFirmwarePayload, CapacityGrowsInBlocksWithOneSpare)
{
    const std::pair<uint32_t, uint32_t> cases[] = {
        {1, 16384}, {8191, 16384}, {8192, 16384}, {8193, 24576}, {100000, 114688}};
    for (const auto& [size, capacity] : cases) {
        DfuFirmware fw;
        fw.resize(size, true);
        EXPECT_EQ(size, fw.size());
        EXPECT_EQ(capacity, fw.allocSize()) << size;
    }
    DfuFirmware fw;
    fw.resize(0, true);
    EXPECT_EQ(0u, fw.allocSize());
    EXPECT_EQ(nullptr, fw.data());
}

TEST(DfuFirmwarePayload, ShrinkKeepsCapacityAndSetZeroClearsRegainedBytes)
{
    DfuFirmware fw;
    const Bytes bytes = countingBytes(9000, 1);
    fw.setData(bytes.data(), 9000);
    const uint32_t capacity = fw.allocSize();
    fw.resize(100, true);
    EXPECT_EQ(capacity, fw.allocSize());
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 100), payloadOf(fw));

    fw.resize(9000, true);
    Bytes expected(bytes.begin(), bytes.begin() + 100);
    expected.resize(9000, 0);
    EXPECT_EQ(expected, payloadOf(fw));

    // Growth past the capacity keeps the bytes and zeroes the new ones.
    fw.resize(40000, true);
    expected.resize(40000, 0);
    EXPECT_EQ(expected, payloadOf(fw));

    fw.erase();
    EXPECT_EQ(0u, fw.size());
    EXPECT_EQ(0u, fw.allocSize());
}

TEST(DfuFirmwarePayload, SizesWhoseCapacityWouldOverflowAreRefused)
{
    DfuFirmware fw;
    const Bytes bytes = countingBytes(10);
    fw.setData(bytes.data(), 10);
    EXPECT_THROW(fw.resize(0xFFFFC001u, false), std::bad_alloc);
    EXPECT_THROW(fw.resize(0xFFFFFFFFu, false), std::bad_alloc);
    EXPECT_THROW(fw.append(bytes.data(), 0xFFFFFFF8u), std::bad_alloc);
    EXPECT_EQ(bytes, payloadOf(fw));
    EXPECT_EQ(16384u, fw.allocSize());
}

TEST(DfuFirmwarePayload, SetDataAndAppendConcatenate)
{
    DfuFirmware fw;
    Bytes expected;
    for (uint8_t round = 0; round < 100; ++round) {
        const Bytes piece = countingBytes(97 + round, round);
        fw.append(piece.data(), static_cast<uint32_t>(piece.size()));
        expected.insert(expected.end(), piece.begin(), piece.end());
    }
    EXPECT_EQ(expected, payloadOf(fw));

    const Bytes replacement = countingBytes(5, 9);
    fw.setData(replacement.data(), 5);
    EXPECT_EQ(replacement, payloadOf(fw));
    fw.append(nullptr, 5);
    fw.append(replacement.data(), 0);
    EXPECT_EQ(replacement, payloadOf(fw));
    fw.setData(nullptr, 5);
    EXPECT_EQ(0u, fw.size());
}

// The source may be the image's own payload, also when the growth moves it.
TEST(DfuFirmwarePayload, OwnPayloadAsSource)
{
    DfuFirmware fw;
    const Bytes bytes = countingBytes(16384, 3);
    fw.setData(bytes.data(), 16384);
    ASSERT_EQ(24576u, fw.allocSize());

    fw.append(fw.data(), fw.size()); // grows past the capacity: reallocates
    Bytes doubled = bytes;
    doubled.insert(doubled.end(), bytes.begin(), bytes.end());
    EXPECT_EQ(doubled, payloadOf(fw));

    fw.setData(fw.data() + 10, 20); // overlapping ranges
    EXPECT_EQ(Bytes(bytes.begin() + 10, bytes.begin() + 30), payloadOf(fw));
}

TEST(DfuFirmwareCopy, CopiesAreDeepAndEqual)
{
    DfuFirmware original;
    const Bytes payload = countingBytes(50);
    original.setData(payload.data(), 50);
    ASSERT_TRUE(original.setAuxData(payload.data(), 4));
    original.setVendorId(0x1111);

    DfuFirmware copied(original);
    DfuFirmware assigned;
    assigned.setData(payload.data(), 7);
    assigned = original;
    for (const DfuFirmware* copy : {&copied, &assigned}) {
        EXPECT_TRUE(copy->equals(original));
        EXPECT_NE(original.data(), copy->data());
        EXPECT_NE(original.auxData(), copy->auxData());
    }
    original.data()[0] ^= 0xFF;
    EXPECT_FALSE(copied.equals(original));
    EXPECT_TRUE(copied.equals(assigned));
    EXPECT_EQ(payload, payloadOf(copied));
}

TEST(DfuFirmwareCopy, SelfAssignmentKeepsTheImage)
{
    DfuFirmware fw;
    const Bytes payload = countingBytes(50);
    fw.setData(payload.data(), 50);
    ASSERT_TRUE(fw.setAuxData(payload.data(), 4));
    fw.setProductId(0x2222);
    DfuFirmware& alias = fw;
    fw = alias;
    EXPECT_EQ(payload, payloadOf(fw));
    EXPECT_EQ(Bytes(payload.begin(), payload.begin() + 4), auxOf(fw));
    EXPECT_EQ(0x2222, fw.idProduct());
}

TEST(DfuFirmwareCopy, EqualsComparesEveryFieldButCapacity)
{
    DfuFirmware base;
    const Bytes payload = countingBytes(20);
    base.setData(payload.data(), 20);
    ASSERT_TRUE(base.setAuxData(payload.data(), 4));

    const std::function<void(DfuFirmware&)> changes[] = {
        [](DfuFirmware& fw) { fw.setVersion(0x0101); },
        [](DfuFirmware& fw) { fw.setVendorId(1); },
        [](DfuFirmware& fw) { fw.setProductId(1); },
        [](DfuFirmware& fw) { fw.setDeviceRelease(1); },
        [](DfuFirmware& fw) { fw.resize(19, false); },
        [](DfuFirmware& fw) { fw.data()[19] ^= 1; },
        [](DfuFirmware& fw) { const uint8_t b[] = {0, 1, 2}; fw.setAuxData(b, 3); },
        [](DfuFirmware& fw) { const uint8_t b[] = {0, 1, 2, 4}; fw.setAuxData(b, 4); },
    };
    for (size_t i = 0; i < std::size(changes); ++i) {
        DfuFirmware changed(base);
        ASSERT_TRUE(changed.equals(base));
        changes[i](changed);
        EXPECT_FALSE(changed.equals(base)) << "change " << i;
        EXPECT_TRUE(changed != base) << "change " << i;
    }

    DfuFirmware larger(base);
    larger.resize(100000, false);
    larger.resize(20, false);
    EXPECT_NE(base.allocSize(), larger.allocSize());
    EXPECT_TRUE(larger.equals(base));
}
