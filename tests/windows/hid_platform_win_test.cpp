// The Windows HID backend and the raw transport on it, on the system's own
// HID stack. Under wine no device of ours is attached; wine offers a virtual
// mouse and keyboard (vendor 0x845e) whose interfaces open, so what the
// tests expect is worked out from what enumeration finds, never from a count.
// The overlapped write path is also driven through an ordinary file and a
// named pipe, which behave as a device that takes a report at once and as
// one that never takes it.
#include "hid_platform.h"
#include "test_support.h"
#include "vun_hid.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using hidplatform::Handle;
using hidplatform::IoResult;
using hidplatform::kInvalidHandle;
using hidplatform::ReportLengths;

// The transport's 30 indices and a few past them.
const unsigned kScannedIndices = 32;

struct Interface {
    unsigned index;
    uint16_t vendor;
    uint16_t product;
    bool lengthsKnown;
    ReportLengths lengths;
};

HANDLE toWin(Handle handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

bool handleIsOpen(HANDLE handle)
{
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != FALSE;
}

// The number of open handles of this process. GetProcessHandleCount gives 0
// under wine, so every plausible handle value is asked about instead.
size_t openHandleCount()
{
    size_t count = 0;
    for (uintptr_t value = 4; value < 0x10000; value += 4)
        count += handleIsOpen(reinterpret_cast<HANDLE>(value)) ? 1 : 0;
    return count;
}

// The interfaces among the scanned indices that open and tell their ids (the
// ones the transport's search considers), with their report lengths; each is
// closed again.
std::vector<Interface> openableInterfaces()
{
    std::vector<Interface> found;
    for (unsigned index = 0; index < kScannedIndices; ++index) {
        const Handle handle = hidplatform::openByIndex(index);
        if (handle == kInvalidHandle)
            continue;
        Interface entry{index, 0, 0, false, {}};
        const bool identified = hidplatform::getAttributes(handle, &entry.vendor, &entry.product);
        entry.lengthsKnown = hidplatform::getReportLengths(handle, &entry.lengths);
        hidplatform::close(handle);
        if (identified)
            found.push_back(entry);
    }
    return found;
}

// The interface, lowest index first, that the transport's search should
// return: an id of 0 matches anything.
const Interface* firstMatch(const std::vector<Interface>& present, uint32_t vendor, uint32_t product)
{
    for (const Interface& entry : present) {
        if ((vendor == 0 || vendor == entry.vendor) && (product == 0 || product == entry.product))
            return &entry;
    }
    return nullptr;
}

long long millisecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
        .count();
}

// A handle the test opened itself, closed with the object.
class OwnedHandle {
public:
    explicit OwnedHandle(HANDLE handle) : m_handle(handle) {}
    ~OwnedHandle()
    {
        if (m_handle != INVALID_HANDLE_VALUE)
            CloseHandle(m_handle);
    }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;

    HANDLE get() const { return m_handle; }
    Handle platform() const { return reinterpret_cast<Handle>(m_handle); }

private:
    HANDLE m_handle;
};

HANDLE openOverlappedFile(const std::string& path)
{
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                       FILE_FLAG_OVERLAPPED, nullptr);
}

// ---- enumeration

TEST(WinHidEnumeration, OpenedInterfacesAnswerConsistentlyAndClose)
{
    for (unsigned index = 0; index < kScannedIndices; ++index) {
        SCOPED_TRACE("index " + std::to_string(index));
        const Handle handle = hidplatform::openByIndex(index);
        if (handle == kInvalidHandle)
            continue;
        uint16_t vendor = 0, product = 0, vendorAgain = 0, productAgain = 0;
        ASSERT_TRUE(hidplatform::getAttributes(handle, &vendor, &product));
        ReportLengths lengths, lengthsAgain;
        ASSERT_TRUE(hidplatform::getReportLengths(handle, &lengths));

        // The same index, opened again while the first handle is open, is
        // the same interface.
        const Handle second = hidplatform::openByIndex(index);
        ASSERT_NE(second, kInvalidHandle);
        EXPECT_NE(second, handle);
        ASSERT_TRUE(hidplatform::getAttributes(second, &vendorAgain, &productAgain));
        ASSERT_TRUE(hidplatform::getReportLengths(second, &lengthsAgain));
        EXPECT_EQ(vendorAgain, vendor);
        EXPECT_EQ(productAgain, product);
        EXPECT_EQ(lengthsAgain.input, lengths.input);
        EXPECT_EQ(lengthsAgain.output, lengths.output);
        EXPECT_EQ(lengthsAgain.feature, lengths.feature);

        // Feature reports by ascending id, each moved in a buffer of the
        // interface's longest feature report.
        std::vector<hidplatform::FeatureReport> features;
        ASSERT_TRUE(hidplatform::getFeatureReports(handle, &features));
        for (size_t i = 0; i < features.size(); ++i) {
            EXPECT_EQ(features[i].length, lengths.feature);
            if (i > 0) {
                EXPECT_LT(features[i - 1].id, features[i].id);
            }
        }

        hidplatform::close(second);
        EXPECT_FALSE(handleIsOpen(toWin(second)));
        EXPECT_TRUE(handleIsOpen(toWin(handle)));
        hidplatform::close(handle);
        EXPECT_FALSE(handleIsOpen(toWin(handle)));
    }
}

// The count covers every index that opens; ids read without opening for I/O
// equal the ids of an opened handle; an exclusive handle keeps every other
// exclusive open out, told apart as "in use", but not a read-write or query
// open, and closing it frees the interface.
TEST(WinHidEnumeration, CountPeekAndExclusiveOpens)
{
    using hidplatform::Access;
    using hidplatform::OpenFailure;
    const unsigned count = hidplatform::interfaceCount();
    EXPECT_EQ(hidplatform::openByIndex(count), kInvalidHandle);
    EXPECT_TRUE(hidplatform::interfacePath(count).empty());
    size_t exclusiveChecked = 0;
    for (unsigned index = 0; index < count; ++index) {
        SCOPED_TRACE("index " + std::to_string(index));
        EXPECT_FALSE(hidplatform::interfacePath(index).empty());
        OpenFailure why = OpenFailure::kOther;
        const Handle holder = hidplatform::openByIndex(index, Access::kExclusive, &why);
        if (holder == kInvalidHandle)
            continue;  // wine's virtual devices do not all open every time
        EXPECT_EQ(why, OpenFailure::kNone);
        uint16_t vendor = 0, product = 0, peekedVendor = 0, peekedProduct = 0;
        if (hidplatform::getAttributes(holder, &vendor, &product) &&
            hidplatform::peekAttributes(index, &peekedVendor, &peekedProduct)) {
            EXPECT_EQ(peekedVendor, vendor);
            EXPECT_EQ(peekedProduct, product);
        }
        EXPECT_EQ(hidplatform::openByIndex(index, Access::kExclusive, &why), kInvalidHandle);
        EXPECT_EQ(why, OpenFailure::kInUse);
        // Wine's virtual devices sometimes refuse an open for reasons of
        // their own; what matters below is that the hold is not the reason.
        const Handle shared = hidplatform::openByIndex(index, Access::kReadWrite, &why);
        EXPECT_NE(why, OpenFailure::kInUse) << "a read-write open is not held off";
        hidplatform::close(shared);
        const Handle query = hidplatform::openByIndex(index, Access::kQuery, &why);
        EXPECT_NE(why, OpenFailure::kInUse) << "a query opens while the interface is held";
        hidplatform::close(query);
        hidplatform::close(holder);
        const Handle next = hidplatform::openByIndex(index, Access::kExclusive, &why);
        EXPECT_NE(why, OpenFailure::kInUse) << "closing the holder frees the interface";
        hidplatform::close(next);
        ++exclusiveChecked;
    }
    if (exclusiveChecked == 0)
        GTEST_SKIP() << "no interface of " << count << " opened exclusively";
    std::printf("exclusive opens checked on %zu of %u interfaces\n", exclusiveChecked, count);
}

TEST(WinHidEnumeration, IndicesPastTheEndOpenNothing)
{
    for (unsigned index : {1000u, 65535u, UINT_MAX - 1, UINT_MAX}) {
        SCOPED_TRACE("index " + std::to_string(index));
        EXPECT_EQ(hidplatform::openByIndex(index), kInvalidHandle);
    }
}

TEST(WinHidEnumeration, OpeningSearchingAndTransfersLeaveNoHandleBehind)
{
    testsupport::TempDir dir;
    const std::vector<uint8_t> report(65, 0x5a);
    const size_t before = openHandleCount();
    for (int round = 0; round < 5; ++round) {
        for (unsigned index = 0; index < kScannedIndices; ++index)
            hidplatform::close(hidplatform::openByIndex(index));
        EXPECT_EQ(kr::hid_open(0xfeed, 0xbeef), kInvalidHandle);
        {
            OwnedHandle file(openOverlappedFile(dir.path("report.bin")));
            ASSERT_NE(file.get(), INVALID_HANDLE_VALUE);
            size_t written = 0;
            EXPECT_EQ(hidplatform::writeReport(file.platform(), report.data(), report.size(), 100, &written),
                      IoResult::kDone);
            uint8_t buffer[8];
            size_t got = 0;
            EXPECT_EQ(hidplatform::readReport(file.platform(), buffer, sizeof buffer, 100, &got),
                      IoResult::kError);
        }
    }
    EXPECT_EQ(openHandleCount(), before);
}

// ---- the transport's search on the interfaces present

TEST(WinHidTransport, IdsThatCannotMatchOpenNothing)
{
    struct Case {
        uint32_t vendor;
        uint32_t product;
    };
    std::vector<Case> cases = {{0x1ffff, 1}, {0xfeed, 0xbeef}, {0x1ffff, 0}, {0, 0x1ffff}};
    // An id above 0xffff never equals a 16-bit one, even one present.
    for (const Interface& present : openableInterfaces()) {
        cases.push_back({0x10000u | present.vendor, present.product});
        cases.push_back({present.vendor, 0x10000u | present.product});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.vendor) + ":" + std::to_string(c.product));
        const kr::HidHandle handle = kr::hid_open(c.vendor, c.product);
        EXPECT_EQ(handle, kInvalidHandle);
        kr::hid_close(handle);
    }
}

// Whether the transport's search returned the interface an enumeration taken
// just before it predicts, with that interface's ids and report lengths.
bool searchMatchesEnumeration(uint32_t vendorId, uint32_t productId)
{
    const std::vector<Interface> present = openableInterfaces();
    const Interface* expected = firstMatch(present, vendorId, productId);
    const kr::HidHandle handle = kr::hid_open(vendorId, productId);
    if (expected == nullptr || handle == kInvalidHandle) {
        kr::hid_close(handle);
        return expected == nullptr && handle == kInvalidHandle;
    }
    uint16_t vendor = 0, product = 0;
    bool same = hidplatform::getAttributes(handle, &vendor, &product) &&
                vendor == expected->vendor && product == expected->product;
    uint32_t inputLen = 0, outputLen = 0;
    if (same && expected->lengthsKnown) {
        same = kr::hid_get_report_length(handle, inputLen, outputLen) &&
               inputLen == expected->lengths.input && outputLen == expected->lengths.output;
    }
    kr::hid_close(handle);
    EXPECT_FALSE(handleIsOpen(toWin(handle)));
    return same;
}

TEST(WinHidTransport, ZeroMatchesAnyIdAndTheLowestIndexWins)
{
    const std::vector<Interface> present = openableInterfaces();
    if (present.empty())
        GTEST_SKIP() << "no HID interface opens here";
    struct Case {
        uint32_t vendor;
        uint32_t product;
    };
    const Interface& first = present.front();
    std::vector<Case> cases = {{0, 0}, {first.vendor, 0}, {0, first.product}};
    for (const Interface& entry : present)
        cases.push_back({entry.vendor, entry.product});
    // wine's virtual mouse and keyboard do not open every time, so a single
    // disagreement can be a device that just failed to open: a case fails
    // only when the search and a fresh enumeration disagree five times.
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.vendor) + ":" + std::to_string(c.product));
        bool agreed = false;
        for (int attempt = 0; attempt < 5 && !agreed; ++attempt)
            agreed = searchMatchesEnumeration(c.vendor, c.product);
        EXPECT_TRUE(agreed);
    }
}

// ---- the handle -1

TEST(WinHidInvalidHandle, BackendRefusesItAndLeavesOutputsAlone)
{
    hidplatform::close(kInvalidHandle);
    uint16_t vendor = 0x1111, product = 0x2222;
    EXPECT_FALSE(hidplatform::getAttributes(kInvalidHandle, &vendor, &product));
    EXPECT_EQ(vendor, 0x1111);
    EXPECT_EQ(product, 0x2222);

    ReportLengths lengths;
    lengths.input = 7;
    lengths.output = 8;
    lengths.feature = 9;
    EXPECT_FALSE(hidplatform::getReportLengths(kInvalidHandle, &lengths));
    EXPECT_EQ(lengths.input, 7);
    EXPECT_EQ(lengths.output, 8);
    EXPECT_EQ(lengths.feature, 9);

    std::vector<hidplatform::FeatureReport> features(2);
    EXPECT_FALSE(hidplatform::getFeatureReports(kInvalidHandle, &features));
    EXPECT_EQ(features.size(), 2u);

    uint8_t report[4] = {1, 0xaa, 0xbb, 0xcc};
    size_t count = 1234;
    EXPECT_EQ(hidplatform::writeReport(kInvalidHandle, report, sizeof report, 100, &count), IoResult::kError);
    EXPECT_EQ(hidplatform::readReport(kInvalidHandle, report, sizeof report, 100, &count), IoResult::kError);
    EXPECT_FALSE(hidplatform::setFeature(kInvalidHandle, report, sizeof report));
    EXPECT_FALSE(hidplatform::getFeature(kInvalidHandle, report, sizeof report, &count));
    EXPECT_EQ(count, 1234u);
    EXPECT_EQ(report[1], 0xaa);
}

TEST(WinHidInvalidHandle, TransportRefusesItAndLeavesOutputsAlone)
{
    kr::hid_close(kInvalidHandle);
    uint32_t inputLen = 11, outputLen = 22;
    EXPECT_FALSE(kr::hid_get_report_length(kInvalidHandle, inputLen, outputLen));
    EXPECT_EQ(inputLen, 11u);
    EXPECT_EQ(outputLen, 22u);

    uint8_t data[8] = {9, 8, 7, 6, 5, 4, 3, 2};
    uint32_t length = 33;
    EXPECT_FALSE(kr::hid_send(kInvalidHandle, data, 4));
    EXPECT_FALSE(kr::hid_receive(kInvalidHandle, data, length));
    EXPECT_FALSE(kr::hid_send_syn(kInvalidHandle, data, 4));
    EXPECT_FALSE(kr::hid_receive_syn(kInvalidHandle, data, length));
    EXPECT_EQ(length, 33u);
    EXPECT_EQ(data[0], 9);
    EXPECT_EQ(data[7], 2);
}

// ---- transfers

TEST(WinHidTransfer, WriteLandsWholeThroughTheOverlappedPath)
{
    for (int timeoutMs : {100, hidplatform::kWaitForever}) {
        SCOPED_TRACE("timeout " + std::to_string(timeoutMs));
        testsupport::TempDir dir;
        const std::string path = dir.path("report.bin");
        const std::vector<uint8_t> report = testsupport::countingBytes(65, 1);
        {
            OwnedHandle file(openOverlappedFile(path));
            ASSERT_NE(file.get(), INVALID_HANDLE_VALUE);
            size_t written = 0;
            ASSERT_EQ(hidplatform::writeReport(file.platform(), report.data(), report.size(), timeoutMs, &written),
                      IoResult::kDone);
            EXPECT_EQ(written, report.size());
            // A report of no bytes is refused, not written.
            EXPECT_EQ(hidplatform::writeReport(file.platform(), report.data(), 0, timeoutMs, &written),
                      IoResult::kError);
        }
        EXPECT_EQ(testsupport::readFile(path), report);
    }
}

TEST(WinHidTransfer, HandleThatIsNoHidInterfaceHasNothingToTell)
{
    testsupport::TempDir dir;
    const std::string path = dir.path("not-hid.bin");
    testsupport::writeFile(path, testsupport::countingBytes(16));
    OwnedHandle file(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED, nullptr));
    ASSERT_NE(file.get(), INVALID_HANDLE_VALUE);

    uint16_t vendor = 0x1111, product = 0x2222;
    EXPECT_FALSE(hidplatform::getAttributes(file.platform(), &vendor, &product));
    EXPECT_EQ(vendor, 0x1111);
    ReportLengths lengths;
    lengths.input = 7;
    EXPECT_FALSE(hidplatform::getReportLengths(file.platform(), &lengths));
    EXPECT_EQ(lengths.input, 7);
    std::vector<hidplatform::FeatureReport> features(2);
    EXPECT_FALSE(hidplatform::getFeatureReports(file.platform(), &features));
    EXPECT_EQ(features.size(), 2u);

    // Without an input report length nothing is read, though the file has bytes.
    uint8_t buffer[8] = {0xee, 0xee, 0xee, 0xee, 0xee, 0xee, 0xee, 0xee};
    size_t got = 99;
    EXPECT_EQ(hidplatform::readReport(file.platform(), buffer, sizeof buffer, 100, &got), IoResult::kError);
    EXPECT_FALSE(hidplatform::getFeature(file.platform(), buffer, sizeof buffer, &got));
    EXPECT_FALSE(hidplatform::setFeature(file.platform(), buffer, sizeof buffer));
    EXPECT_EQ(got, 99u);
    EXPECT_EQ(buffer[0], 0xee);
    EXPECT_EQ(buffer[7], 0xee);
}

// A pipe with a 16-byte buffer that nobody reads takes no 4096-byte write.
TEST(WinHidTransfer, WriteNobodyTakesTimesOutAndLeavesTheHandleUsable)
{
    const std::string name = "\\\\.\\pipe\\hiddfu-hid-win-test-" + std::to_string(GetCurrentProcessId());
    OwnedHandle server(CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                        PIPE_TYPE_BYTE | PIPE_WAIT, 1, 16, 16, 0, nullptr));
    ASSERT_NE(server.get(), INVALID_HANDLE_VALUE);
    OwnedHandle client(CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OVERLAPPED, nullptr));
    ASSERT_NE(client.get(), INVALID_HANDLE_VALUE);

    const std::vector<uint8_t> tooMuch(4096, 0xab);
    for (int attempt = 0; attempt < 3; ++attempt) {
        SCOPED_TRACE("attempt " + std::to_string(attempt));
        size_t written = 777;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(hidplatform::writeReport(client.platform(), tooMuch.data(), tooMuch.size(), 100, &written),
                  IoResult::kTimeout);
        const long long elapsed = millisecondsSince(start);
        EXPECT_GE(elapsed, 90);
        EXPECT_LT(elapsed, 3000);
        EXPECT_EQ(written, 777u);
    }
    const std::vector<uint8_t> small = testsupport::countingBytes(8, 0x40);
    size_t written = 0;
    EXPECT_EQ(hidplatform::writeReport(client.platform(), small.data(), small.size(), 100, &written),
              IoResult::kDone);
    EXPECT_EQ(written, small.size());
}

// Under wine the virtual mouse and keyboard send nothing, so a read of
// theirs waits out its time; should one deliver a report after all, it must
// fit the report length.
TEST(WinHidTransfer, ReadWithoutInputEndsInTimeAndCanBeRepeated)
{
    const std::vector<Interface> present = openableInterfaces();
    const Interface* withInput = nullptr;
    for (const Interface& entry : present) {
        if (entry.lengthsKnown && entry.lengths.input > 1) {
            withInput = &entry;
            break;
        }
    }
    if (withInput == nullptr)
        GTEST_SKIP() << "no HID interface with input reports opens here";

    const Handle handle = hidplatform::openByIndex(withInput->index);
    ASSERT_NE(handle, kInvalidHandle);
    // Room for the whole report, and room for its first byte only.
    for (size_t capacity : {size_t{256}, size_t{1}}) {
        SCOPED_TRACE("capacity " + std::to_string(capacity));
        std::vector<uint8_t> buffer(capacity, 0xcd);
        size_t got = 4321;
        const auto start = std::chrono::steady_clock::now();
        const IoResult result = hidplatform::readReport(handle, buffer.data(), capacity, 100, &got);
        const long long elapsed = millisecondsSince(start);
        EXPECT_LT(elapsed, 3000);
        if (result == IoResult::kTimeout) {
            EXPECT_GE(elapsed, 90);
            EXPECT_EQ(got, 4321u);
            EXPECT_EQ(buffer[0], 0xcd);
        } else {
            ASSERT_EQ(result, IoResult::kDone);
            EXPECT_LE(got, std::min<size_t>(capacity, withInput->lengths.input));
        }
    }
    hidplatform::close(handle);

    // The transport's receive waits its 500 ms; an interface without output
    // reports takes no send.
    const kr::HidHandle device = kr::hid_open(withInput->vendor, withInput->product);
    ASSERT_NE(device, kInvalidHandle);
    uint8_t data[256] = {0x77};
    uint32_t length = 55;
    const auto start = std::chrono::steady_clock::now();
    if (!kr::hid_receive(device, data, length)) {
        EXPECT_GE(millisecondsSince(start), 490);
        EXPECT_EQ(length, 55u);
        EXPECT_EQ(data[0], 0x77);
    }
    if (withInput->lengths.output == 0) {
        EXPECT_FALSE(kr::hid_send(device, data, 0));
    }
    kr::hid_close(device);
}

} // namespace
