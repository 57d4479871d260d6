// The upgrade library's core (hiddfu::UpgradeLibrary) and its C calls.
//
// Most cases drive the library against a scripted DFU device of this file
// (ScriptedDevice, plugged into the in-process simulator bus in place of the
// simulated device's DFU machine), which follows the protocol's state
// machine and can misbehave precisely at one block: report an error, refuse
// a request, vanish, stay busy, answer garbage. The C calls run over the
// in-process simulator backend with the simulated device.
#include "HidDfu.h"
#include "dfu_channel.h"
#include "dfu_protocol.h"
#include "results.h"
#include "sim_bus_fixture.h"
#include "test_support.h"
#include "upgrade_library.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <set>
#include <optional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace hiddfu;
using testsupport::Bytes;
using Clock = std::chrono::steady_clock;

const uint16_t kVid = 0x1234;
const uint16_t kPid = 0x5678;

// What the scripted device does; the defaults make a well-behaved device
// with 64-byte blocks.
struct Script {
    uint16_t vendorId = kVid;
    uint16_t productId = kPid;
    uint16_t transferSize = 64;
    uint16_t requestDataRoom = 0;   // data bytes the request report holds; 0: transferSize
    uint8_t attributes = kCanDownload | kManifestationTolerant;
    uint16_t detachTimeoutMs = 700;
    bool declaresProtocol = true;   // declares 0xD0, 0xD1, 0xD2
    bool functionalFails = false;
    uint32_t pollTimeoutMs = 0;     // in every dfuDNBUSY and dfuMANIFEST answer
    int busyPollsPerBlock = 0;      // dfuDNBUSY answers before a block is written
    int manifestPolls = 1;          // dfuMANIFEST answers before the end
    State initialState = State::kDfuIdle;
    uint8_t initialStatus = kStatusOk;
    // Faults at the block with this index (counted from 0); -1: none.
    int errorAtBlock = -1;          // GETSTATUS answers dfuERROR with errorStatus
    uint8_t errorStatus = 3;        // errWRITE
    int refuseBlock = -1;           // the DNLOAD fails, the device stalls into dfuERROR
    int goneAtBlock = -1;           // from that DNLOAD on every report fails
    int garbageAtBlock = -1;        // the status after it names an undefined state
    int busyForeverAtBlock = -1;    // it never gets written
};

struct RequestRecord {
    Request request;
    uint16_t value;
    Bytes data;
    size_t reportLength;
};

// A DFU device behind feature reports, scripted by a Script. Thread-safe:
// the worker talks to it while the test reads its records.
class ScriptedDevice : public sim::FeatureBehaviour {
public:
    explicit ScriptedDevice(const Script& script)
        : m_script(script), m_state(script.initialState), m_status(script.initialStatus)
    {
        // A device found manifesting (an earlier host stopped during
        // manifestation) finishes after manifestPolls more GETSTATUS.
        if (m_state == State::kManifestSync || m_state == State::kManifest)
            m_pendingPolls = script.manifestPolls;
    }

    std::vector<Declared> declaredFeatureReports() const override
    {
        if (!m_script.declaresProtocol)
            return {{0x05, 8}};
        const uint16_t room = m_script.requestDataRoom != 0 ? m_script.requestDataRoom : m_script.transferSize;
        return {{kRequestReportId, static_cast<uint16_t>(kRequestHeaderLength - 1 + room)},
                {kStatusReportId, static_cast<uint16_t>(kStatusReportLength - 1)},
                {kFunctionalReportId, static_cast<uint16_t>(kFunctionalReportLength - 1)}};
    }

    // A request the device cannot take stalls; once gone, every report fails.
    sim::FeatureOutcome setFeatureReport(const uint8_t* report, size_t length) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_gone)
            return sim::FeatureOutcome::kGone;
        if (length < kRequestHeaderLength || report[0] != kRequestReportId)
            return sim::FeatureOutcome::kStalled;
        const auto request = static_cast<Request>(report[1]);
        const uint16_t value = static_cast<uint16_t>(report[2] | (report[3] << 8));
        const uint16_t dataLength = static_cast<uint16_t>(report[4] | (report[5] << 8));
        if (kRequestHeaderLength + dataLength > length)
            return sim::FeatureOutcome::kStalled;
        const uint8_t* data = report + kRequestHeaderLength;
        m_requests.push_back({request, value, Bytes(data, data + dataLength), length});
        if (accept(request, data, dataLength))
            return sim::FeatureOutcome::kDone;
        return m_gone ? sim::FeatureOutcome::kGone : sim::FeatureOutcome::kStalled;
    }

    sim::FeatureOutcome getFeatureReport(uint8_t reportId, sim::Report* reply) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_gone)
            return sim::FeatureOutcome::kGone;
        if (reportId == kStatusReportId)
            *reply = statusAnswer();
        else if (reportId == kFunctionalReportId && !m_script.functionalFails)
            *reply = encodeFunctional({m_script.attributes, m_script.detachTimeoutMs, m_script.transferSize, 0x0110});
        else
            return sim::FeatureOutcome::kStalled;
        return sim::FeatureOutcome::kDone;
    }

    std::vector<RequestRecord> requests() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_requests;
    }

    Bytes flash() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_flash;
    }

    State state() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_state;
    }

    size_t statusRequests() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_statusTimes.size();
    }

    // The shortest time between a busy answer and the GETSTATUS after it.
    Clock::duration shortestBusyGap() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Clock::duration shortest = Clock::duration::max();
        for (size_t i = 0; i + 1 < m_statusTimes.size(); ++i) {
            if (m_busyAnswer[i])
                shortest = std::min(shortest, m_statusTimes[i + 1] - m_statusTimes[i]);
        }
        return shortest;
    }

private:
    // A request the state does not allow is refused (the SET fails) and
    // leaves the device in dfuERROR with errSTALLEDPKT.
    bool stall()
    {
        m_state = State::kDfuError;
        m_status = 15;
        return false;
    }

    bool accept(Request request, const uint8_t* data, uint16_t dataLength)
    {
        switch (request) {
        case Request::kDnload:
            return dnload(data, dataLength);
        case Request::kClrStatus:
            if (m_state != State::kDfuError)
                return stall();
            m_state = State::kDfuIdle;
            m_status = kStatusOk;
            return true;
        case Request::kAbort:
            if (m_state != State::kDfuIdle && m_state != State::kDnloadIdle)
                return stall();
            m_state = State::kDfuIdle;
            return true;
        case Request::kDetach:
            return true;
        default:
            return stall();
        }
    }

    bool dnload(const uint8_t* data, uint16_t dataLength)
    {
        if (dataLength == 0) {
            if (m_state != State::kDnloadIdle)
                return stall();
            m_state = State::kManifestSync;
            m_pendingPolls = m_script.manifestPolls;
            return true;
        }
        if (m_state != State::kDfuIdle && m_state != State::kDnloadIdle)
            return stall();
        m_block = m_blocksReceived++;
        if (m_block == m_script.goneAtBlock) {
            m_gone = true;
            return false;
        }
        if (m_block == m_script.refuseBlock)
            return stall();
        m_pendingData.assign(data, data + dataLength);
        m_pendingPolls = m_script.busyPollsPerBlock;
        m_state = State::kDnloadSync;
        return true;
    }

    Bytes statusAnswer()
    {
        m_statusTimes.push_back(Clock::now());
        advanceOnGetStatus();
        const bool busy = m_state == State::kDnBusy || m_state == State::kManifest;
        m_busyAnswer.push_back(busy);
        DeviceStatus status;
        status.status = m_status;
        status.state = m_state;
        status.pollTimeoutMs = busy ? m_script.pollTimeoutMs : 0;
        Bytes answer = encodeStatus(status);
        if (m_block >= 0 && m_block == m_script.garbageAtBlock && m_state == State::kDnloadIdle)
            answer[5] = 0x42;
        return answer;
    }

    void advanceOnGetStatus()
    {
        if (m_state == State::kDnloadSync || m_state == State::kDnBusy) {
            if (m_block == m_script.errorAtBlock) {
                m_state = State::kDfuError;
                m_status = m_script.errorStatus;
            } else if (m_block == m_script.busyForeverAtBlock || m_pendingPolls > 0) {
                --m_pendingPolls;
                m_state = State::kDnBusy;
            } else {
                m_flash.insert(m_flash.end(), m_pendingData.begin(), m_pendingData.end());
                m_state = State::kDnloadIdle;
            }
        } else if (m_state == State::kManifestSync || m_state == State::kManifest) {
            if (m_pendingPolls > 0) {
                --m_pendingPolls;
                m_state = State::kManifest;
            } else {
                const bool tolerant = (m_script.attributes & kManifestationTolerant) != 0;
                m_state = tolerant ? State::kDfuIdle : State::kManifestWaitReset;
            }
        }
    }

    const Script m_script;
    mutable std::mutex m_mutex;
    State m_state;
    uint8_t m_status;
    bool m_gone = false;
    int m_blocksReceived = 0;
    int m_block = -1;
    int m_pendingPolls = 0;
    Bytes m_pendingData;
    Bytes m_flash;
    std::vector<RequestRecord> m_requests;
    std::vector<Clock::time_point> m_statusTimes;
    std::vector<bool> m_busyAnswer;
};

// Scripted devices plugged into the in-process bus at enumeration indices,
// where the simulator's devices go; the bus counts the opens and closes.
class ScriptedBus {
public:
    ~ScriptedBus() { releaseHeld(); }

    std::shared_ptr<ScriptedDevice> plug(unsigned index, const Script& script = Script())
    {
        auto device = std::make_shared<ScriptedDevice>(script);
        sim::DeviceConfig config;
        config.vendorId = script.vendorId;
        config.productId = script.productId;
        config.customFeatures = device;
        simbus::plug(index, std::make_shared<sim::SimDevice>(std::move(config)));
        return device;
    }

    size_t openHandles() const { return simbus::openHandleCount(); }
    size_t opens() const { return simbus::openCount(); }

    // Another holder keeps the device at `index` open alone (exclusive opens
    // are refused), or the user may not open it at all.
    void holdElsewhere(unsigned index)
    {
        const Handle held = hidplatform::openByIndex(index, Access::kExclusive, nullptr);
        ASSERT_NE(held, kInvalidHandle);
        m_held.push_back(held);
    }

    void releaseHeld()
    {
        for (Handle held : m_held)
            hidplatform::close(held);
        m_held.clear();
    }

    void deny(unsigned index)
    {
        simbus::Faults faults;
        faults.openDenied = true;
        simbus::setFaults(index, faults);
    }

private:
    std::vector<Handle> m_held;
};

// Small bounds, so that the fault cases end quickly.
Limits fastLimits()
{
    Limits limits;
    limits.pollTimeoutCap = std::chrono::milliseconds(25);
    limits.busyWaitCap = std::chrono::milliseconds(150);
    return limits;
}

// Waits until progress says 100 (at most 20 s); the percentages seen on the way.
std::vector<int> followUntilEnded(const UpgradeLibrary& library)
{
    std::vector<int> seen;
    const auto giveUp = Clock::now() + std::chrono::seconds(20);
    for (;;) {
        const int percent = library.progress();
        seen.push_back(percent);
        if (percent == 100 || Clock::now() > giveUp)
            return seen;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

std::vector<RequestRecord> requestsOf(const std::vector<RequestRecord>& all, Request request)
{
    std::vector<RequestRecord> chosen;
    for (const RequestRecord& record : all) {
        if (record.request == request)
            chosen.push_back(record);
    }
    return chosen;
}

class UpgradeLibraryTest : public testsupport::SimBusTest {
protected:
    void TearDown() override
    {
        library.disconnect();
        SimBusTest::TearDown();
    }

    std::string dfuFile(const Bytes& payload, uint16_t vid = kVid, uint16_t pid = kPid, const Bytes& aux = {})
    {
        testsupport::DfuContents contents;
        contents.payload = payload;
        contents.aux = aux;
        contents.idVendor = vid;
        contents.idProduct = pid;
        const std::string path = temp.path("fw" + std::to_string(++m_files) + ".dfu");
        testsupport::writeFile(path, testsupport::buildDfuFile(contents));
        return path;
    }

    uint16_t connect()
    {
        uint16_t count = 0;
        library.connect(kVid, kPid, 0, 0, &count);
        return count;
    }

    // Connects, upgrades from `payload` and waits for the end; the result.
    int32_t runUpgrade(const Bytes& payload)
    {
        EXPECT_EQ(connect(), 1);
        EXPECT_EQ(library.upgrade(dfuFile(payload).c_str(), 1), result::kSuccess);
        EXPECT_EQ(followUntilEnded(library).back(), 100);
        return library.result();
    }

    testsupport::TempDir temp;
    ScriptedBus bus;
    UpgradeLibrary library{fastLimits()};

private:
    int m_files = 0;
};

// ---- the report layouts

TEST(DfuProtocolTest, RequestReportIsHeaderDataAndZeroPadding)
{
    const uint8_t data[] = {0xAA, 0xBB, 0xCC};
    const Bytes report = encodeRequest(Request::kDnload, 0x1234, data, 3, 12);
    EXPECT_EQ(report, (Bytes{0xD0, 1, 0x34, 0x12, 3, 0, 0xAA, 0xBB, 0xCC, 0, 0, 0}));
}

TEST(DfuProtocolTest, StatusReportsDecodeOrAreRejected)
{
    struct Case {
        const char* what;
        Bytes report;
        bool valid;
    };
    const Case cases[] = {
        {"busy with a 24-bit poll timeout", {0xD1, 0, 0x01, 0x02, 0x03, 4, 7}, true},
        {"errSTALLEDPKT in dfuERROR", {0xD1, 15, 0, 0, 0, 10, 0}, true},
        {"one byte short", {0xD1, 0, 0, 0, 0, 2}, false},
        {"another report id", {0xD2, 0, 0, 0, 0, 2, 0}, false},
        {"status 16 is not defined", {0xD1, 16, 0, 0, 0, 2, 0}, false},
        {"state 11 is not defined", {0xD1, 0, 0, 0, 0, 11, 0}, false},
    };
    for (const Case& c : cases) {
        DeviceStatus status;
        EXPECT_EQ(decodeStatus(c.report.data(), c.report.size(), &status), c.valid) << c.what;
    }
    DeviceStatus status;
    const Bytes busy = cases[0].report;
    ASSERT_TRUE(decodeStatus(busy.data(), busy.size(), &status));
    EXPECT_EQ(status.pollTimeoutMs, 0x030201u);
    EXPECT_EQ(status.state, State::kDnBusy);
    EXPECT_EQ(status.stringIndex, 7);
}

TEST(DfuProtocolTest, FunctionalReportRoundTrips)
{
    const FunctionalDescriptor sent{kCanDownload | kWillDetach, 0x1388, 0x0100, 0x0110};
    const Bytes report = encodeFunctional(sent);
    EXPECT_EQ(report, (Bytes{0xD2, 0x09, 0x88, 0x13, 0x00, 0x01, 0x10, 0x01}));
    FunctionalDescriptor read;
    ASSERT_TRUE(decodeFunctional(report.data(), report.size(), &read));
    EXPECT_EQ(read.transferSize, 0x0100);
    EXPECT_EQ(read.detachTimeoutMs, 0x1388);
    EXPECT_TRUE(read.canDownload());
    EXPECT_FALSE(decodeFunctional(report.data(), report.size() - 1, &read));
}

TEST(DfuProtocolTest, InterfaceSpeaksTheProtocolOnlyWithAllThreeReportsLongEnough)
{
    struct Case {
        const char* what;
        std::vector<FeatureReport> reports;
        bool upgradable;
    };
    const Case cases[] = {
        {"all three", {{0xD0, 70}, {0xD1, 7}, {0xD2, 8}, {0xD3, 2}}, true},
        {"no request report", {{0xD1, 7}, {0xD2, 8}}, false},
        {"no status report", {{0xD0, 70}, {0xD2, 8}}, false},
        {"no functional report", {{0xD0, 70}, {0xD1, 7}}, false},
        {"request report without room for data", {{0xD0, 6}, {0xD1, 7}, {0xD2, 8}}, false},
        {"status report too short", {{0xD0, 70}, {0xD1, 6}, {0xD2, 8}}, false},
        {"no feature reports", {}, false},
    };
    for (const Case& c : cases) {
        ProtocolReports lengths;
        EXPECT_EQ(findProtocolReports(c.reports, &lengths), c.upgradable) << c.what;
    }
}

// ---- connect

TEST_F(UpgradeLibraryTest, ConnectCountsUpgradableInterfacesWithTheIds)
{
    EXPECT_EQ(connect(), 0);
    EXPECT_FALSE(library.connected());

    Script notUpgradable;
    notUpgradable.declaresProtocol = false;
    Script otherProduct;
    otherProduct.productId = 0x9999;
    bus.plug(0, notUpgradable);
    bus.plug(1, otherProduct);
    EXPECT_EQ(connect(), 0) << "same ids without the reports, or other ids, do not count";

    auto first = bus.plug(3);
    EXPECT_EQ(connect(), 1);
    auto second = bus.plug(5);
    EXPECT_EQ(connect(), 2);
    EXPECT_TRUE(library.connected());
    EXPECT_EQ(bus.openHandles(), 1u) << "only the connected interface stays open";

    // The first one is the connected one: the upgrade goes to it.
    ASSERT_EQ(library.upgrade(dfuFile(Bytes(10, 1)).c_str(), 1), result::kSuccess);
    followUntilEnded(library);
    EXPECT_EQ(first->flash(), Bytes(10, 1));
    EXPECT_TRUE(second->requests().empty());
}

TEST_F(UpgradeLibraryTest, EveryInterfaceIsSearchedAndOnlyMatchingOnesOpened)
{
    // 300 other interfaces first: far more than any fixed bound would see.
    Script other;
    other.vendorId = 0x1111;
    for (unsigned index = 0; index < 300; ++index)
        bus.plug(index, other);
    auto target = bus.plug(300);
    EXPECT_EQ(connect(), 1);
    EXPECT_TRUE(library.connected());
    // One query open to count it, one exclusive open to keep it.
    EXPECT_EQ(bus.opens(), 2u) << "interfaces with other ids are never opened";
}

TEST_F(UpgradeLibraryTest, DeviceHeldElsewhereIsCountedButNotConnected)
{
    struct Case {
        const char* what;
        std::vector<unsigned> held;
        std::vector<unsigned> denied;
        uint16_t count;
        int32_t connectResult;
    };
    const std::vector<Case> cases = {
        {"the only device is held", {0}, {}, 1, result::kDeviceBusy},
        {"the first is held, the second is free", {0}, {}, 2, result::kSuccess},
        {"both are held", {0, 1}, {}, 2, result::kDeviceBusy},
        {"a denied device is neither counted nor busy", {}, {0, 1}, 0, result::kNotConnected},
    };
    for (const Case& c : cases) {
        simbus::reset();
        ScriptedBus fake;
        fake.plug(0);
        if (c.count != 1 || !c.denied.empty())
            fake.plug(1);
        for (unsigned index : c.held)
            fake.holdElsewhere(index);
        for (unsigned index : c.denied)
            fake.deny(index);
        UpgradeLibrary own(fastLimits());
        uint16_t count = 99;
        EXPECT_EQ(own.connect(kVid, kPid, 0, 0, &count), c.connectResult) << c.what;
        EXPECT_EQ(count, c.count) << c.what;
        EXPECT_EQ(own.connected(), c.connectResult == result::kSuccess) << c.what;
        own.disconnect();
        fake.releaseHeld();
        EXPECT_EQ(fake.openHandles(), 0u) << c.what;
        EXPECT_EQ(simbus::unknownCloseCount(), 0u) << c.what;
    }
}

TEST_F(UpgradeLibraryTest, DisconnectClosesAndIsHarmlessTwice)
{
    bus.plug(0);
    ASSERT_EQ(connect(), 1);
    EXPECT_EQ(library.disconnect(), result::kSuccess);
    EXPECT_EQ(bus.openHandles(), 0u);
    EXPECT_EQ(library.disconnect(), result::kSuccess);
    EXPECT_EQ(library.upgrade(dfuFile(Bytes(4, 0)).c_str(), 1), result::kNotConnected);
}

// ---- refusals: nothing reaches the device

TEST_F(UpgradeLibraryTest, UpgradeRefusesBeforeTouchingTheDevice)
{
    const std::string good = dfuFile(Bytes(100, 7));
    Bytes corrupt = testsupport::readFile(good);
    corrupt[10] ^= 0x01;
    const std::string corruptPath = temp.path("corrupt.dfu");
    testsupport::writeFile(corruptPath, corrupt);
    const std::string noSuffix = temp.path("plain.bin");
    testsupport::writeFile(noSuffix, Bytes(100, 7));

    struct Case {
        const char* what;
        Script script;
        std::string path;
        uint8_t flags;
        int32_t expected;
        int32_t reason;  // result() afterwards
    };
    Script cannotDownload;
    cannotDownload.attributes = kManifestationTolerant;
    Script functionalFails;
    functionalFails.functionalFails = true;
    Script transferTooBig;  // blocks larger than its request report holds
    transferTooBig.requestDataRoom = 32;
    Script transferZero;
    transferZero.transferSize = 0;
    transferZero.requestDataRoom = 64;
    const std::vector<Case> cases = {
        {"missing file", Script(), temp.path("absent.dfu"), 1, result::kFileInvalid, result::kFileInvalid},
        {"CRC does not match", Script(), corruptPath, 1, result::kFileInvalid, result::kFileInvalid},
        {"no DFU suffix", Script(), noSuffix, 1, result::kFileInvalid, result::kFileInvalid},
        {"empty payload", Script(), dfuFile({}), 1, result::kFileInvalid, result::kEmptyPayload},
        {"other vendor", Script(), dfuFile(Bytes(8, 0), 0x1235, kPid), 1, result::kWrongDevice,
         result::kWrongDevice},
        {"other product", Script(), dfuFile(Bytes(8, 0), kVid, 0x5679), 1, result::kWrongDevice,
         result::kWrongDevice},
        {"flags other than 1", Script(), good, 0, result::kInvalidArgument, result::kNotConnected},
        {"device cannot download", cannotDownload, good, 1, result::kCannotDownload,
         result::kDownloadNotSupported},
        {"functional report unreadable", functionalFails, good, 1, result::kCannotDownload,
         result::kCannotDownload},
        {"transfer size beyond the request report", transferTooBig, good, 1, result::kCannotDownload,
         result::kTransferSizeTooLarge},
        {"transfer size 0", transferZero, good, 1, result::kCannotDownload, result::kTransferSizeZero},
    };
    for (const Case& c : cases) {
        auto device = bus.plug(0, c.script);
        ASSERT_EQ(connect(), 1) << c.what;
        EXPECT_EQ(library.upgrade(c.path.c_str(), c.flags), c.expected) << c.what;
        EXPECT_EQ(library.progress(), 100) << c.what;
        EXPECT_EQ(library.result(), c.reason) << c.what << ": no upgrade has run, the reason is kept";
        EXPECT_TRUE(device->requests().empty()) << c.what;
        EXPECT_EQ(device->statusRequests(), 0u) << c.what;
        library.disconnect();
    }
    EXPECT_EQ(library.upgrade(nullptr, 1), result::kInvalidArgument);
}

TEST_F(UpgradeLibraryTest, AnyIdInTheFileMatchesTheDevice)
{
    bus.plug(0);
    ASSERT_EQ(connect(), 1);
    ASSERT_EQ(library.upgrade(dfuFile(Bytes(3, 3), 0xFFFF, 0xFFFF).c_str(), 1), result::kSuccess);
    followUntilEnded(library);
    EXPECT_EQ(library.result(), result::kSuccess);
}

TEST_F(UpgradeLibraryTest, SecondUpgradeWhileOneRunsIsRefused)
{
    Script slow;
    slow.busyPollsPerBlock = 1;
    slow.pollTimeoutMs = 20;
    auto device = bus.plug(0, slow);
    ASSERT_EQ(connect(), 1);
    const std::string path = dfuFile(Bytes(640, 9));
    ASSERT_EQ(library.upgrade(path.c_str(), 1), result::kSuccess);
    EXPECT_EQ(library.upgrade(path.c_str(), 1), result::kUpgradeRunning);
    EXPECT_EQ(library.resetDevice(), result::kUpgradeRunning);
    EXPECT_EQ(library.result(), result::kUpgradeRunning);
    followUntilEnded(library);
    EXPECT_EQ(library.result(), result::kSuccess);
    EXPECT_EQ(device->flash(), Bytes(640, 9)) << "the refused call did not disturb the running one";
    // Once ended, the next upgrade may start.
    EXPECT_EQ(library.upgrade(path.c_str(), 1), result::kSuccess);
    followUntilEnded(library);
    EXPECT_EQ(library.result(), result::kSuccess);
}

// ---- the download

TEST_F(UpgradeLibraryTest, PayloadGoesInNumberedBlocksThenZeroLengthDownloadAndManifestation)
{
    auto device = bus.plug(0);
    const Bytes payload = testsupport::countingBytes(1000);
    testsupport::DfuContents contents;
    contents.payload = payload;
    contents.aux = Bytes(20, 0xEE);  // aux data and suffix are not sent
    // Not "aux.dfu": AUX is a device name on Windows.
    const std::string path = temp.path("with-aux-data.dfu");
    testsupport::writeFile(path, testsupport::buildDfuFile(contents));

    ASSERT_EQ(connect(), 1);
    ASSERT_EQ(library.upgrade(path.c_str(), 1), result::kSuccess);
    EXPECT_EQ(followUntilEnded(library).back(), 100);
    EXPECT_EQ(library.result(), result::kSuccess);
    EXPECT_EQ(device->flash(), payload);

    const auto downloads = requestsOf(device->requests(), Request::kDnload);
    ASSERT_EQ(downloads.size(), 17u) << "15 full blocks of 64, one of 40, one empty";
    for (size_t block = 0; block < downloads.size(); ++block) {
        EXPECT_EQ(downloads[block].value, block);
        EXPECT_EQ(downloads[block].reportLength, kRequestHeaderLength + 64) << "the declared length";
    }
    EXPECT_EQ(downloads[15].data.size(), 40u);
    EXPECT_TRUE(downloads[16].data.empty());
    EXPECT_EQ(device->requests().size(), downloads.size()) << "no other request on the way";
}

TEST_F(UpgradeLibraryTest, ManifestationEndsInIdleOrWaitReset)
{
    for (uint8_t attributes : {uint8_t(kCanDownload | kManifestationTolerant), uint8_t(kCanDownload)}) {
        Script script;
        script.attributes = attributes;
        script.manifestPolls = 3;
        bus.plug(0, script);
        EXPECT_EQ(runUpgrade(Bytes(70, 1)), result::kSuccess) << "attributes " << int(attributes);
        library.disconnect();
    }
}

TEST_F(UpgradeLibraryTest, DeviceLeftInErrorOrMidDownloadIsBroughtToIdleFirst)
{
    struct Case {
        State state;
        uint8_t status;
        Request expected;
    };
    const Case cases[] = {
        {State::kDfuError, 10, Request::kClrStatus},
        {State::kDnloadIdle, kStatusOk, Request::kAbort},
        // Still manifesting: waited out, not aborted (ABORT would stall).
        {State::kManifest, kStatusOk, Request::kDnload},
    };
    for (const Case& c : cases) {
        Script script;
        script.initialState = c.state;
        script.initialStatus = c.status;
        script.manifestPolls = 3;
        auto device = bus.plug(0, script);
        EXPECT_EQ(runUpgrade(Bytes(5, 5)), result::kSuccess);
        ASSERT_FALSE(device->requests().empty());
        EXPECT_EQ(device->requests().front().request, c.expected);
        EXPECT_EQ(device->flash(), Bytes(5, 5));
        library.disconnect();
    }
}

TEST_F(UpgradeLibraryTest, BlockNumbersWrapAt65536)
{
    Script script;
    script.transferSize = 1;
    auto device = bus.plug(0, script);
    const Bytes payload = testsupport::countingBytes(65538);
    EXPECT_EQ(runUpgrade(payload), result::kSuccess);
    const auto downloads = requestsOf(device->requests(), Request::kDnload);
    ASSERT_EQ(downloads.size(), 65539u);
    EXPECT_EQ(downloads[65535].value, 65535);
    EXPECT_EQ(downloads[65536].value, 0);
    EXPECT_EQ(downloads[65537].value, 1);
    EXPECT_EQ(downloads[65538].value, 2) << "the zero-length DNLOAD takes the next number";
    EXPECT_EQ(device->flash(), payload);
}

TEST_F(UpgradeLibraryTest, BusyDeviceIsPolledAfterItsPollTimeout)
{
    Script script;
    script.busyPollsPerBlock = 2;
    script.pollTimeoutMs = 10;
    auto device = bus.plug(0, script);
    const auto start = Clock::now();
    EXPECT_EQ(runUpgrade(Bytes(3 * 64, 2)), result::kSuccess);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(6 * 10));
    EXPECT_GE(device->shortestBusyGap(), std::chrono::milliseconds(10));
    EXPECT_EQ(device->flash(), Bytes(3 * 64, 2));
}

TEST_F(UpgradeLibraryTest, LongPollTimeoutIsCapped)
{
    Script script;
    script.busyPollsPerBlock = 1;
    script.pollTimeoutMs = 0xFFFFFF;  // about 4.7 hours
    auto device = bus.plug(0, script);
    const auto start = Clock::now();
    EXPECT_EQ(runUpgrade(Bytes(2 * 64, 2)), result::kSuccess);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_GE(device->shortestBusyGap(), fastLimits().pollTimeoutCap);
}

// ---- how it ends when the device fails

TEST_F(UpgradeLibraryTest, DeviceErrorAtABlockIsTheResultAndIsCleared)
{
    for (uint8_t status : {uint8_t(1), uint8_t(3), uint8_t(15)}) {
        Script script;
        script.errorAtBlock = 2;
        script.errorStatus = status;
        auto device = bus.plug(0, script);
        EXPECT_EQ(runUpgrade(Bytes(5 * 64, 4)), status);
        const auto requests = device->requests();
        ASSERT_FALSE(requests.empty());
        EXPECT_EQ(requests.back().request, Request::kClrStatus) << "back to dfuIDLE for a retry";
        EXPECT_EQ(requestsOf(requests, Request::kDnload).size(), 3u) << "nothing after block 2";
        EXPECT_EQ(device->flash().size(), 2u * 64);
        library.disconnect();
    }
}

TEST_F(UpgradeLibraryTest, RefusedDownloadIsReportedWithTheDeviceStatus)
{
    Script script;
    script.refuseBlock = 1;
    auto device = bus.plug(0, script);
    EXPECT_EQ(runUpgrade(Bytes(3 * 64, 4)), 15) << "errSTALLEDPKT";
    EXPECT_EQ(device->requests().back().request, Request::kClrStatus);
}

TEST_F(UpgradeLibraryTest, FaultsEndTheUpgradeWithTheirResultInBoundedTime)
{
    struct Case {
        const char* what;
        Script script;
        int32_t expected;
    };
    Script gone;
    gone.goneAtBlock = 3;
    Script stuck;
    stuck.busyForeverAtBlock = 1;
    stuck.pollTimeoutMs = 5;
    Script garbage;
    garbage.garbageAtBlock = 2;
    Script errorWithoutStatus;
    errorWithoutStatus.errorAtBlock = 0;
    errorWithoutStatus.errorStatus = kStatusOk;
    const Case cases[] = {
        {"device gone mid-transfer", gone, result::kDeviceLost},
        {"device busy for ever", stuck, result::kTimedOut},
        {"status names an undefined state", garbage, result::kProtocolViolation},
        {"dfuERROR with status OK", errorWithoutStatus, result::kProtocolViolation},
    };
    for (const Case& c : cases) {
        bus.plug(0, c.script);
        const auto start = Clock::now();
        EXPECT_EQ(runUpgrade(Bytes(6 * 64, 1)), c.expected) << c.what;
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(3)) << c.what;
        library.disconnect();
    }
}

TEST_F(UpgradeLibraryTest, StuckBusyEndsOnlyAfterTheBusyCap)
{
    Script stuck;
    stuck.busyForeverAtBlock = 0;
    stuck.pollTimeoutMs = 5;
    bus.plug(0, stuck);
    const auto start = Clock::now();
    EXPECT_EQ(runUpgrade(Bytes(64, 1)), result::kTimedOut);
    EXPECT_GE(Clock::now() - start, fastLimits().busyWaitCap);
}

// ---- progress and threads

TEST_F(UpgradeLibraryTest, ProgressRisesMonotonicallyBelow100ThenEndsAt100)
{
    Script script;
    script.busyPollsPerBlock = 1;
    script.pollTimeoutMs = 2;
    bus.plug(0, script);
    ASSERT_EQ(connect(), 1);
    ASSERT_EQ(library.upgrade(dfuFile(Bytes(40 * 64, 6)).c_str(), 1), result::kSuccess);
    const std::vector<int> seen = followUntilEnded(library);
    ASSERT_EQ(seen.back(), 100);
    for (size_t i = 0; i + 1 < seen.size(); ++i) {
        EXPECT_LE(seen[i], 99);
        EXPECT_LE(seen[i], seen[i + 1]);
    }
    EXPECT_GT(seen.size(), 10u) << "the download took several polls";
    EXPECT_GT(seen[seen.size() - 2], 50) << "progress moved while running";
    EXPECT_EQ(library.result(), result::kSuccess);
}

TEST_F(UpgradeLibraryTest, DisconnectDuringAnUpgradeStopsAndJoinsIt)
{
    Script script;
    script.busyPollsPerBlock = 1;
    script.pollTimeoutMs = 20;
    auto device = bus.plug(0, script);
    ASSERT_EQ(connect(), 1);
    ASSERT_EQ(library.upgrade(dfuFile(Bytes(100 * 64, 6)).c_str(), 1), result::kSuccess);
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    const auto start = Clock::now();
    library.disconnect();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(bus.openHandles(), 0u);
    EXPECT_EQ(library.progress(), 100);
    EXPECT_EQ(library.result(), result::kCancelled);
    EXPECT_LT(device->flash().size(), 100u * 64);
    // Stopped between blocks or in a busy wait: an ABORT is sent only where
    // the device accepts it, so the host never leaves it stalled.
    EXPECT_NE(device->state(), State::kDfuError);
}

// Wherever the stop lands (between blocks, or while the device is busy
// with one), the worker leaves the device in dfuIDLE with one ABORT, waiting
// for a busy device to take its block first.
TEST_F(UpgradeLibraryTest, StoppedUpgradeLeavesTheDeviceIdleWithAbort)
{
    for (const int stopAfterMs : {0, 7, 23, 41, 66}) {
        SCOPED_TRACE("stopped after " + std::to_string(stopAfterMs) + " ms");
        Script script;
        script.busyPollsPerBlock = 2;
        script.pollTimeoutMs = 10;
        auto device = bus.plug(0, script);
        ASSERT_EQ(connect(), 1);
        ASSERT_EQ(library.upgrade(dfuFile(Bytes(100 * 64, 6)).c_str(), 1), result::kSuccess);
        std::this_thread::sleep_for(std::chrono::milliseconds(stopAfterMs));
        library.disconnect();
        EXPECT_EQ(library.result(), result::kCancelled);
        EXPECT_EQ(device->state(), State::kDfuIdle);
        const auto aborts = requestsOf(device->requests(), Request::kAbort).size();
        const auto blocks = requestsOf(device->requests(), Request::kDnload).size();
        EXPECT_EQ(aborts, blocks > 0 ? 1u : 0u) << blocks << " block(s) sent";
    }
}

TEST_F(UpgradeLibraryTest, ResetSendsDetachWithTheDetachTimeout)
{
    EXPECT_EQ(library.resetDevice(), result::kNotConnected);
    auto device = bus.plug(0);
    ASSERT_EQ(connect(), 1);
    EXPECT_EQ(library.resetDevice(), result::kSuccess);
    const auto requests = device->requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].request, Request::kDetach);
    EXPECT_EQ(requests[0].value, 700);
}

// ---- the C calls, over the in-process simulator backend

class LibraryCallsTest : public testsupport::SimBusTest {
protected:
    void TearDown() override
    {
        hidDfuDisconnect();
        SimBusTest::TearDown();
    }
};

TEST_F(LibraryCallsTest, VersionIsTheLibrarysOwn)
{
    uint16 major = 0, minor = 0, release = 0, build = 0;
    EXPECT_EQ(hidDfuGetVersion(&major, &minor, &release, &build), 0);
    EXPECT_EQ(major, 1);
    EXPECT_EQ(minor, 0);
    EXPECT_EQ(release, 0);
    EXPECT_EQ(build, libraryVersion().build);
    EXPECT_EQ(hidDfuGetVersion(nullptr, &minor, &release, &build), result::kInvalidArgument);
}

TEST_F(LibraryCallsTest, NothingToConnectToLeavesEveryCallHarmless)
{
    plug(0, kVid, kPid, [](sim::DeviceConfig& config) { config.dfu.enabled = false; });
    uint16 count = 0;
    EXPECT_EQ(hidDfuConnect(kVid, kPid, 0, 0, &count), result::kNotConnected);
    EXPECT_EQ(count, 0) << "the ids alone, without the DFU feature reports, do not count";
    EXPECT_EQ(hidDfuUpgrade("any.dfu", 1), result::kNotConnected);
    EXPECT_EQ(hidDfuResetDevice(), result::kNotConnected);
    EXPECT_EQ(hidDfuGetProgress(), 100) << "nothing runs";
    EXPECT_EQ(hidDfuGetResult(), result::kNotConnected);
    EXPECT_EQ(hidDfuDisconnect(), 0);
    EXPECT_EQ(hidDfuDisconnect(), 0);
    EXPECT_EQ(hidDfuConnect(kVid, kPid, 0, 0, nullptr), result::kInvalidArgument);
}

TEST_F(LibraryCallsTest, ConnectCountsSimulatedDevicesThatSpeakTheProtocol)
{
    uint16 count = 0;
    hidDfuConnect(kVid, kPid, 0, 0, &count);
    EXPECT_EQ(count, 0);

    plug(1, kVid, kPid, [](sim::DeviceConfig& config) { config.dfu.enabled = false; });
    plug(2, kVid, 0x0001);
    plug(3);
    count = 0;
    EXPECT_EQ(hidDfuConnect(kVid, kPid, 0, 0, &count), 0);
    EXPECT_EQ(count, 1);

    plug(7);
    count = 0;
    EXPECT_EQ(hidDfuConnect(kVid, kPid, 0, 0, &count), 0);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(simbus::openHandleCount(), 1u);
    hidDfuDisconnect();
    EXPECT_EQ(simbus::openHandleCount(), 0u);
}

TEST_F(LibraryCallsTest, UpdateOfASimulatedDeviceFlashesThePayload)
{
    auto device = plug(0);
    testsupport::TempDir temp;
    testsupport::DfuContents contents;
    contents.payload = testsupport::countingBytes(64 * 1024 + 100, 3);
    contents.aux = Bytes(16, 0xAA);
    const std::string path = temp.path("fw.dfu");
    testsupport::writeFile(path, testsupport::buildDfuFile(contents));

    uint16 count = 0;
    ASSERT_EQ(hidDfuConnect(kVid, kPid, 0, 0, &count), 0);
    ASSERT_EQ(hidDfuUpgrade(path.c_str(), 1), 0);
    int last = -1;
    const auto giveUp = Clock::now() + std::chrono::seconds(20);
    while (last != 100 && Clock::now() < giveUp) {
        const int percent = hidDfuGetProgress();
        EXPECT_GE(percent, last);
        last = percent;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_EQ(last, 100);
    EXPECT_EQ(hidDfuGetResult(), 0);
    EXPECT_EQ(hidDfuDisconnect(), 0);
    const sim::DfuMachine machine = device->dfuSnapshot();
    EXPECT_EQ(machine.flash(), contents.payload) << "the payload, without aux data and suffix";
    EXPECT_EQ(machine.manifestations(), 1u);
    EXPECT_EQ(machine.earlyPolls(), 0u) << "every bwPollTimeout was honoured";
}

TEST_F(LibraryCallsTest, ResetDetachesTheSimulatedDevice)
{
    auto device = plug(0);
    uint16 count = 0;
    ASSERT_EQ(hidDfuConnect(kVid, kPid, 0, 0, &count), 0);
    EXPECT_EQ(device->dfuSnapshot().restarts(), 0u);
    EXPECT_EQ(hidDfuResetDevice(), 0);
    EXPECT_EQ(device->dfuSnapshot().restarts(), 1u) << "the device took the DETACH and restarted";
}

// The simulator's faults, through the platform layer, with small bounds.
class SimulatedFaultsTest : public testsupport::SimBusTest {};

TEST_F(SimulatedFaultsTest, EachFaultEndsTheUpgradeWithItsResult)
{
    struct Case {
        const char* what;
        void (*configure)(sim::DfuConfig&);
        int32_t expected;
    };
    const Case cases[] = {
        {"error status at block 2",
         [](sim::DfuConfig& c) {
             c.failAtBlock = 2;
             c.failStatus = sim::dfu::kErrProg;
         },
         sim::dfu::kErrProg},
        {"silent from block 1", [](sim::DfuConfig& c) { c.silentAtBlock = 1; }, result::kDeviceLost},
        {"gone at block 1", [](sim::DfuConfig& c) { c.vanishAtBlock = 1; }, result::kDeviceLost},
        {"busy for ever", [](sim::DfuConfig& c) { c.busyForever = true; }, result::kTimedOut},
        {"status with an undefined state",
         [](sim::DfuConfig& c) { c.garbage = sim::StatusGarbage::kStateOutOfRange; }, result::kProtocolViolation},
        {"short status report",
         [](sim::DfuConfig& c) { c.garbage = sim::StatusGarbage::kShortReport; }, result::kProtocolViolation},
    };
    testsupport::TempDir temp;
    testsupport::DfuContents contents;
    contents.payload = Bytes(5 * 256, 0x5A);
    const std::string path = temp.path("fw.dfu");
    testsupport::writeFile(path, testsupport::buildDfuFile(contents));

    for (const Case& c : cases) {
        simbus::reset();
        auto device = plug(0, kVid, kPid, [&](sim::DeviceConfig& config) {
            config.dfu.transferSize = 256;
            c.configure(config.dfu);
        });
        UpgradeLibrary library(fastLimits());
        uint16_t count = 0;
        ASSERT_EQ(library.connect(kVid, kPid, 0, 0, &count), 0) << c.what;
        ASSERT_EQ(library.upgrade(path.c_str(), 1), 0) << c.what;
        const auto start = Clock::now();
        EXPECT_EQ(followUntilEnded(library).back(), 100) << c.what;
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(3)) << c.what;
        EXPECT_EQ(library.result(), c.expected) << c.what;
        library.disconnect();
        EXPECT_EQ(simbus::openHandleCount(), 0u) << c.what;
    }
}

TEST_F(SimulatedFaultsTest, DeviceErrorIsClearedForARetryThatSucceeds)
{
    auto device = plug(0, kVid, kPid, [](sim::DeviceConfig& config) {
        config.dfu.transferSize = 256;
        config.dfu.failAtBlock = 1;
    });
    testsupport::TempDir temp;
    testsupport::DfuContents contents;
    contents.payload = testsupport::countingBytes(3 * 256);
    const std::string path = temp.path("fw.dfu");
    testsupport::writeFile(path, testsupport::buildDfuFile(contents));

    UpgradeLibrary library(fastLimits());
    uint16_t count = 0;
    ASSERT_EQ(library.connect(kVid, kPid, 0, 0, &count), 0);
    ASSERT_EQ(library.upgrade(path.c_str(), 1), 0);
    followUntilEnded(library);
    EXPECT_EQ(library.result(), sim::dfu::kErrWrite);
    EXPECT_EQ(device->dfuSnapshot().state(), sim::dfu::kIdle) << "CLRSTATUS was sent";
}

} // namespace
