// The raw HID report transport against simulated devices on the in-process
// bus: the device search, the report framing, and the failure table.
#include "vun_hid.h"

#include "sim_bus_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

namespace {

using sim::Report;

class Transport : public testsupport::SimBusTest {
protected:
    // Opens the device at `index` directly (the transport's search is tested
    // on its own) after checking it is the only one.
    kr::HidHandle openOnly(unsigned index = 0)
    {
        kr::HidHandle h = kr::hid_open(0, 0);
        EXPECT_EQ(simbus::handleIndex(h), static_cast<int>(index));
        return h;
    }

    size_t countIo(simbus::IoRecord::Kind kind) const
    {
        const auto log = simbus::ioLog();
        return static_cast<size_t>(std::count_if(
            log.begin(), log.end(), [&](const simbus::IoRecord& r) { return r.kind == kind; }));
    }
};

// ---- hid_open -----------------------------------------------------------------

struct PluggedDevice {
    unsigned index;
    uint16_t vid;
    uint16_t pid;
    bool openFails = false;
    bool attributesFail = false;
};

struct SearchCase {
    const char* label;
    std::vector<PluggedDevice> devices;
    uint32_t vid;
    uint32_t pid;
    int expectedIndex;      // -1: nothing found
    size_t expectedOpens;   // interfaces the search opened on its way
};

TEST_F(Transport, OpenFindsTheFirstMatchingInterface)
{
    const SearchCase cases[] = {
        {"zero ids match the first interface",
         {{0, 0x1111, 0x2222}, {1, 0x1234, 0x5678}}, 0, 0, 0, 1},
        {"vendor only", {{0, 0x1111, 0x5678}, {1, 0x1234, 0x9999}}, 0x1234, 0, 1, 1},
        {"product only", {{0, 0x1234, 0x1111}, {1, 0x2222, 0x5678}}, 0, 0x5678, 1, 1},
        {"both ids must match",
         {{0, 0x1234, 0x0001}, {1, 0x0001, 0x5678}, {2, 0x1234, 0x5678}}, 0x1234, 0x5678, 2, 1},
        {"lowest of several matches",
         {{3, 0x1234, 0x5678}, {5, 0x1234, 0x5678}}, 0x1234, 0x5678, 3, 1},
        {"ffff matches ffff", {{0, 0xFFFF, 0x5678}}, 0xFFFF, 0x5678, 0, 1},
        {"1ffff is not ffff", {{0, 0xFFFF, 0x5678}}, 0x1FFFF, 0x5678, -1, 0},
        {"1ffff product is not ffff", {{0, 0x1234, 0xFFFF}}, 0x1234, 0x1FFFF, -1, 0},
        {"vendor 1ffff matches nothing even with product 0",
         {{0, 0xFFFF, 0xFFFF}}, 0x1FFFF, 0, -1, 0},
        {"gaps in the enumeration do not end the search",
         {{7, 0x1234, 0x5678}}, 0x1234, 0x5678, 7, 1},
        {"index 29 is searched", {{29, 0x1234, 0x5678}}, 0x1234, 0x5678, 29, 1},
        {"index 30 and far beyond are searched", {{30, 0x1, 0x1}, {300, 0x1234, 0x5678}}, 0x1234,
         0x5678, 300, 1},
        {"no device", {}, 0, 0, -1, 0},
        {"interface that cannot be opened is skipped",
         {{0, 0x1234, 0x5678, true}, {1, 0x1234, 0x5678}}, 0x1234, 0x5678, 1, 1},
        {"interface whose ids cannot be read is skipped",
         {{0, 0x1234, 0x5678, false, true}, {1, 0x1234, 0x5678}}, 0x1234, 0x5678, 1, 2},
        {"zero ids skip an interface whose ids cannot be read",
         {{0, 0x1234, 0x5678, false, true}, {2, 0x1, 0x2}}, 0, 0, 2, 2},
        {"interfaces with other ids are not opened at all",
         {{0, 0x1, 0x1}, {10, 0x2, 0x2}, {29, 0x3, 0x3}}, 0x1234, 0x5678, -1, 0},
    };
    for (const SearchCase& c : cases) {
        simbus::reset();
        for (const PluggedDevice& d : c.devices) {
            plug(d.index, d.vid, d.pid);
            simbus::Faults faults;
            faults.openFails = d.openFails;
            faults.attributesFail = d.attributesFail;
            simbus::setFaults(d.index, faults);
        }

        kr::HidHandle h = kr::hid_open(c.vid, c.pid);

        EXPECT_EQ(simbus::handleIndex(h), c.expectedIndex) << c.label;
        if (c.expectedIndex < 0) {
            EXPECT_EQ(h, hidplatform::kInvalidHandle) << c.label;
        }
        EXPECT_EQ(simbus::openCount(), c.expectedOpens) << c.label;
        // Everything looked at and not returned was closed again.
        EXPECT_EQ(simbus::openHandleCount(), c.expectedIndex < 0 ? 0u : 1u) << c.label;
        kr::hid_close(h);
        EXPECT_EQ(simbus::openHandleCount(), 0u) << c.label;
        EXPECT_EQ(simbus::unknownCloseCount(), 0u) << c.label;
    }
}

// An opened device is held: a second open of the same device is refused and
// says so, but takes another matching device that is free; a device the
// user may not open is named; a busy one wins over a closed one.
TEST_F(Transport, OpenHoldsTheDeviceAndSaysWhyItWasRefused)
{
    using hidplatform::OpenFailure;
    struct Case {
        const char* label;
        std::vector<unsigned> matching;  // indices of devices with the ids
        std::vector<unsigned> denied;    // of those, the ones the user may not open
        int secondIndex;                 // what a second hid_open gets; -1: nothing
        OpenFailure reason;
        std::string path;
        std::string deniedPath;          // hid_find_denied
    };
    const Case cases[] = {
        {"the one device is held", {0}, {}, -1, OpenFailure::kInUse, "sim:0", ""},
        {"a second device is free", {0, 1}, {}, 1, OpenFailure::kNone, "", ""},
        {"the other one is denied: busy wins", {0, 1}, {1}, -1, OpenFailure::kInUse, "sim:0", "sim:1"},
        {"denied before the held one", {0, 1}, {0}, -1, OpenFailure::kInUse, "sim:1", "sim:0"},
    };
    for (const Case& c : cases) {
        simbus::reset();
        for (unsigned index : c.matching)
            plug(index, 0x1234, 0x5678);
        for (unsigned index : c.denied) {
            simbus::Faults faults;
            faults.openDenied = true;
            simbus::setFaults(index, faults);
        }
        kr::HidHandle first = kr::hid_open(0x1234, 0x5678);
        ASSERT_NE(first, hidplatform::kInvalidHandle) << c.label;
        kr::HidOpenRefusal refusal;
        kr::HidHandle second = kr::hid_open(0x1234, 0x5678, &refusal);
        EXPECT_EQ(simbus::handleIndex(second), c.secondIndex) << c.label;
        if (second == hidplatform::kInvalidHandle) {
            EXPECT_EQ(refusal.reason, c.reason) << c.label;
            EXPECT_EQ(refusal.path, c.path) << c.label;
        }
        EXPECT_EQ(kr::hid_find_denied(0x1234, 0x5678), c.deniedPath) << c.label;
        kr::hid_close(second);
        kr::hid_close(first);
        // Closing lets the next run in.
        kr::HidHandle again = kr::hid_open(0x1234, 0x5678);
        EXPECT_NE(again, hidplatform::kInvalidHandle) << c.label;
        kr::hid_close(again);
        EXPECT_EQ(simbus::openHandleCount(), 0u) << c.label;
    }
}

TEST_F(Transport, CloseOfNoDeviceDoesNothing)
{
    plug(0);
    kr::HidHandle h = openOnly();
    kr::hid_close(hidplatform::kInvalidHandle);
    EXPECT_EQ(simbus::openHandleCount(), 1u);
    EXPECT_EQ(simbus::unknownCloseCount(), 0u);
    kr::hid_close(h);
}

// ---- hid_get_report_length ---------------------------------------------------------

TEST_F(Transport, ReportLengthsCountTheReportIdAndFailuresLeaveOutputsAlone)
{
    plug(0, 0x1234, 0x5678, [](sim::DeviceConfig& c) {
        c.inputDataBytes = 300;
        c.outputDataBytes = 0;
    });
    kr::HidHandle h = openOnly();
    uint32_t inputLen = 7, outputLen = 7;
    ASSERT_TRUE(kr::hid_get_report_length(h, inputLen, outputLen));
    EXPECT_EQ(inputLen, 301u);
    EXPECT_EQ(outputLen, 0u);

    inputLen = outputLen = 7;
    EXPECT_FALSE(kr::hid_get_report_length(hidplatform::kInvalidHandle, inputLen, outputLen));
    simbus::Faults faults;
    faults.reportLengthsFail = true;
    simbus::setFaults(0, faults);
    EXPECT_FALSE(kr::hid_get_report_length(h, inputLen, outputLen));
    EXPECT_EQ(inputLen, 7u);
    EXPECT_EQ(outputLen, 7u);
    kr::hid_close(h);
}

// ---- hid_send ------------------------------------------------------------------

std::vector<uint8_t> pattern(size_t size)
{
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<uint8_t>(0x80 + i * 7);
    return data;
}

// What the device must receive: id 1, the data, zeros up to the length.
Report framed(const std::vector<uint8_t>& data, size_t outputLength)
{
    Report r(outputLength, 0);
    r[0] = 1;
    std::copy(data.begin(), data.end(), r.begin() + 1);
    return r;
}

TEST_F(Transport, SendWritesIdDataAndZerosToTheOutputLength)
{
    struct Case {
        const char* label;
        uint16_t outputDataBytes;
        uint32_t length;
        bool expectSent;
    };
    const Case cases[] = {
        {"64 bytes fill a 65-byte report", 64, 64, true},
        {"65 bytes do not fit", 64, 65, false},
        {"0 bytes: id and 64 zeros", 64, 0, true},
        {"a short request", 64, 3, true},
        {"length + 1 must not wrap", 64, 0xFFFFFFFF, false},
        {"no output report takes no send", 0, 0, false},
        {"256-byte report", 255, 255, true},
        {"report longer than 255 bytes", 300, 300, true},
        {"report longer than 255 bytes, too long", 300, 301, false},
        {"the longest report", 65534, 65534, true},
    };
    for (const Case& c : cases) {
        simbus::reset();
        auto device = plug(0, 0x1234, 0x5678, [&](sim::DeviceConfig& config) {
            config.outputDataBytes = c.outputDataBytes;
        });
        kr::HidHandle h = openOnly();
        // Data only as long as a real caller could have; the refused
        // 0xffffffff case must not read it at all.
        const std::vector<uint8_t> data = pattern(std::min<uint32_t>(c.length, 70000));

        EXPECT_EQ(kr::hid_send(h, data.data(), c.length), c.expectSent) << c.label;
        if (c.expectSent) {
            ASSERT_EQ(device->receivedOutputs().size(), 1u) << c.label;
            EXPECT_EQ(device->receivedOutputs()[0], framed(data, c.outputDataBytes + 1u))
                << c.label;
            const auto log = simbus::ioLog();
            ASSERT_EQ(log.size(), 1u) << c.label;
            EXPECT_EQ(log[0].timeoutMs, 500) << c.label;
        } else {
            EXPECT_TRUE(device->receivedOutputs().empty()) << c.label;
            EXPECT_EQ(countIo(simbus::IoRecord::Kind::kWrite), 0u)
                << c.label << ": nothing written";
        }
        kr::hid_close(h);
    }
}

TEST_F(Transport, SendFailures)
{
    struct Case {
        const char* label;
        simbus::Faults faults;
        bool unplug;
        size_t expectedWrites;  // write calls that reached the platform
    };
    simbus::Faults lengths, timeout, fails;
    lengths.reportLengthsFail = true;
    timeout.writesTimeOut = true;
    fails.writesFail = true;
    const Case cases[] = {
        {"report lengths unknown", lengths, false, 0},
        {"write times out", timeout, false, 1},
        {"write fails", fails, false, 1},
        {"device unplugged", {}, true, 0},
    };
    const uint8_t data[] = {'s', 'e', 't'};
    for (const Case& c : cases) {
        simbus::reset();
        auto device = plug(0);
        kr::HidHandle h = openOnly();
        simbus::setFaults(0, c.faults);
        if (c.unplug)
            simbus::unplug(0);
        EXPECT_FALSE(kr::hid_send(h, data, sizeof data)) << c.label;
        EXPECT_FALSE(kr::hid_send_syn(h, data, sizeof data)) << c.label;
        EXPECT_EQ(countIo(simbus::IoRecord::Kind::kWrite), 2 * c.expectedWrites) << c.label;
        EXPECT_TRUE(device->receivedOutputs().empty()) << c.label;
        kr::hid_close(h);
    }
    EXPECT_FALSE(kr::hid_send(hidplatform::kInvalidHandle, data, sizeof data));
    EXPECT_FALSE(kr::hid_send_syn(hidplatform::kInvalidHandle, data, sizeof data));
}

TEST_F(Transport, SynchronousSendFramesAlikeAndWaitsWithoutLimit)
{
    auto device = plug(0);
    kr::HidHandle h = openOnly();
    const std::vector<uint8_t> data = pattern(10);
    ASSERT_TRUE(kr::hid_send_syn(h, data.data(), 10));
    EXPECT_FALSE(kr::hid_send_syn(h, pattern(65).data(), 65));
    ASSERT_EQ(device->receivedOutputs().size(), 1u);
    EXPECT_EQ(device->receivedOutputs()[0], framed(data, 65));
    const auto log = simbus::ioLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].timeoutMs, hidplatform::kWaitForever);
    kr::hid_close(h);
}

// ---- hid_receive ---------------------------------------------------------------

const uint8_t kUntouched = 0xCC;
const uint32_t kUntouchedLength = 0xDEADBEEF;

struct ReceiveCase {
    const char* label;
    uint16_t inputDataBytes;
    std::vector<Report> queued;
    bool expectReceived;
    std::vector<uint8_t> expectedData;  // what the caller's buffer starts with
};

Report numbered(size_t size, uint8_t first)
{
    Report r(size);
    for (size_t i = 0; i < size; ++i)
        r[i] = static_cast<uint8_t>(first + i);
    return r;
}

std::vector<uint8_t> tail(const Report& r)
{
    return std::vector<uint8_t>(r.begin() + 1, r.end());
}

TEST_F(Transport, ReceiveHandsOverEverythingAfterTheFirstByte)
{
    const Report full = numbered(65, 1);
    Report otherId = full;
    otherId[0] = 0x7F;
    const Report longer = numbered(100, 1);
    const Report big = numbered(301, 1);
    const ReceiveCase cases[] = {
        {"65-byte report gives 64 bytes", 64, {full}, true, tail(full)},
        {"first byte is not compared", 64, {otherId}, true, tail(full)},
        {"a report of only its id", 64, {Report{1}}, true, {}},
        {"longer than the input length: cut by the read", 64, {longer},
         true, std::vector<uint8_t>(longer.begin() + 1, longer.begin() + 65)},
        {"report longer than 255 bytes", 300, {big}, true, tail(big)},
        {"only the first queued report", 64, {full, otherId}, true, tail(full)},
        {"nothing within the wait", 64, {}, false, {}},
        {"a read of no bytes", 64, {Report()}, false, {}},
        {"no input reports", 0, {full}, false, {}},
    };
    for (const ReceiveCase& c : cases) {
        simbus::reset();
        plug(0, 0x1234, 0x5678, [&](sim::DeviceConfig& config) {
            config.inputDataBytes = c.inputDataBytes;
        });
        kr::HidHandle h = openOnly();
        for (const Report& r : c.queued)
            simbus::queueInput(0, r);

        // Room for the data and a guard area behind it.
        std::vector<uint8_t> buffer(size_t{c.inputDataBytes} + 16, kUntouched);
        uint32_t length = kUntouchedLength;
        EXPECT_EQ(kr::hid_receive(h, buffer.data(), length), c.expectReceived) << c.label;

        if (c.expectReceived) {
            EXPECT_EQ(length, c.expectedData.size()) << c.label;
            EXPECT_TRUE(std::equal(c.expectedData.begin(), c.expectedData.end(), buffer.begin()))
                << c.label;
        } else {
            EXPECT_EQ(length, kUntouchedLength) << c.label;
        }
        if (c.inputDataBytes == 0) {
            EXPECT_EQ(countIo(simbus::IoRecord::Kind::kRead), 0u) << c.label << ": nothing to read";
        }
        const size_t written = c.expectReceived ? c.expectedData.size() : 0;
        EXPECT_TRUE(std::all_of(buffer.begin() + static_cast<std::ptrdiff_t>(written), buffer.end(),
                                [](uint8_t b) { return b == kUntouched; }))
            << c.label << ": bytes past the data were written";
        kr::hid_close(h);
    }
}

TEST_F(Transport, ReceiveReadsOneInputReportLengthAndWaits500Ms)
{
    plug(0);
    kr::HidHandle h = openOnly();
    uint8_t buffer[64];
    uint32_t length = 0;
    EXPECT_FALSE(kr::hid_receive(h, buffer, length));
    const auto log = simbus::ioLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].kind, simbus::IoRecord::Kind::kRead);
    EXPECT_EQ(log[0].length, 65u);
    EXPECT_EQ(log[0].timeoutMs, 500);
    EXPECT_EQ(log[0].result, hidplatform::IoResult::kTimeout);
    EXPECT_EQ(simbus::virtualElapsedMs(), 500);
    kr::hid_close(h);
}

TEST_F(Transport, ReceiveFailuresLeaveTheCallersBufferAlone)
{
    struct Case {
        const char* label;
        simbus::Faults faults;
        bool unplug;
        size_t expectedReads;
    };
    simbus::Faults lengths, timeout, fails;
    lengths.reportLengthsFail = true;
    timeout.readsTimeOut = true;
    fails.readsFail = true;
    const Case cases[] = {
        {"report lengths unknown", lengths, false, 0},
        {"read times out with a report queued", timeout, false, 1},
        {"read fails", fails, false, 1},
        {"device unplugged", {}, true, 0},
    };
    for (const Case& c : cases) {
        simbus::reset();
        plug(0);
        kr::HidHandle h = openOnly();
        simbus::queueInput(0, numbered(65, 1));
        simbus::setFaults(0, c.faults);
        if (c.unplug)
            simbus::unplug(0);
        std::vector<uint8_t> buffer(64, kUntouched);
        uint32_t length = kUntouchedLength;
        EXPECT_FALSE(kr::hid_receive(h, buffer.data(), length)) << c.label;
        EXPECT_EQ(countIo(simbus::IoRecord::Kind::kRead), c.expectedReads) << c.label;
        EXPECT_EQ(length, kUntouchedLength) << c.label;
        EXPECT_EQ(buffer, std::vector<uint8_t>(64, kUntouched)) << c.label;
        kr::hid_close(h);
    }
    uint8_t buffer[64];
    uint32_t length = kUntouchedLength;
    EXPECT_FALSE(kr::hid_receive(hidplatform::kInvalidHandle, buffer, length));
    EXPECT_FALSE(kr::hid_receive_syn(hidplatform::kInvalidHandle, buffer, length));
    EXPECT_EQ(length, kUntouchedLength);
}

TEST_F(Transport, SynchronousReceiveFramesAlikeAndWaitsWithoutLimit)
{
    plug(0);
    kr::HidHandle h = openOnly();
    const Report report = numbered(65, 9);
    simbus::queueInput(0, report);
    std::vector<uint8_t> buffer(64, kUntouched);
    uint32_t length = 0;
    ASSERT_TRUE(kr::hid_receive_syn(h, buffer.data(), length));
    EXPECT_EQ(length, 64u);
    EXPECT_EQ(buffer, tail(report));
    const auto log = simbus::ioLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].timeoutMs, hidplatform::kWaitForever);
    kr::hid_close(h);
}

TEST_F(Transport, ARequestAndItsReplyRoundTrip)
{
    plug(0, 0x1234, 0x5678, [](sim::DeviceConfig& c) { c.replies = {{"serial", "SN-0042"}}; });
    kr::HidHandle h = kr::hid_open(0x1234, 0x5678);
    ASSERT_NE(h, hidplatform::kInvalidHandle);
    const std::string name = "serial";
    ASSERT_TRUE(kr::hid_send(h, reinterpret_cast<const uint8_t*>(name.data()),
                             static_cast<uint32_t>(name.size())));
    std::vector<uint8_t> reply(64, kUntouched);
    uint32_t length = 0;
    ASSERT_TRUE(kr::hid_receive(h, reply.data(), length));
    EXPECT_EQ(length, 64u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(reply.data())), "SN-0042");
    EXPECT_TRUE(std::all_of(reply.begin() + 7, reply.end(), [](uint8_t b) { return b == 0; }));
    kr::hid_close(h);
}

} // namespace
