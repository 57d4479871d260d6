// The simulated device's end of the upgrade protocol: the feature reports it
// declares, the DFU state machine (legal and illegal requests per state,
// block numbering, manifestation both ways), the flash store and its
// version convention, each injected fault, and the in-process backend's
// setFeature/getFeature on top of it.
#include "dfu_machine.h"
#include "hid_platform.h"
#include "report_descriptor.h"
#include "sim_bus_fixture.h"
#include "sim_device.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using sim::DfuConfig;
using sim::DfuMachine;
using sim::FeatureOutcome;
using sim::StatusGarbage;
using testsupport::Bytes;
namespace dfu = sim::dfu;

// A clock the test moves by hand.
class ManualClock {
public:
    std::function<uint64_t()> function() const
    {
        auto now = m_now;
        return [now] { return *now; };
    }
    void advance(uint64_t ms) { *m_now += ms; }

private:
    std::shared_ptr<uint64_t> m_now = std::make_shared<uint64_t>(1000);
};

struct StatusReply {
    FeatureOutcome outcome = FeatureOutcome::kStalled;
    Bytes raw;
    uint8_t status = 0xFF;
    uint32_t pollTimeoutMs = 0;
    uint8_t state = 0xFF;
};

// The host side, written from docs/protocol.md, driving one machine.
class Host {
public:
    explicit Host(DfuConfig config = DfuConfig()) : m_machine(withClock(std::move(config))) {}

    DfuMachine& machine() { return m_machine; }
    ManualClock& clock() { return m_clock; }

    // A request report: 0xD0, bRequest, wValue, wLength, data, zeros up to
    // the declared length.
    Bytes requestReport(uint8_t request, uint16_t value, const Bytes& data = {}) const
    {
        Bytes report(m_machine.requestReportLength(), 0);
        report[0] = dfu::kRequestReportId;
        report[1] = request;
        report[2] = static_cast<uint8_t>(value & 0xFF);
        report[3] = static_cast<uint8_t>(value >> 8);
        report[4] = static_cast<uint8_t>(data.size() & 0xFF);
        report[5] = static_cast<uint8_t>(data.size() >> 8);
        std::copy(data.begin(), data.end(), report.begin() + 6);
        return report;
    }

    FeatureOutcome send(uint8_t request, uint16_t value = 0, const Bytes& data = {})
    {
        const Bytes report = requestReport(request, value, data);
        return m_machine.setReport(report.data(), report.size());
    }

    StatusReply getStatus()
    {
        StatusReply reply;
        reply.outcome = m_machine.getReport(dfu::kStatusReportId, &reply.raw);
        if (reply.outcome == FeatureOutcome::kDone && reply.raw.size() == dfu::kStatusReportBytes) {
            reply.status = reply.raw[1];
            reply.pollTimeoutMs = reply.raw[2] | (reply.raw[3] << 8) | (reply.raw[4] << 16);
            reply.state = reply.raw[5];
        }
        return reply;
    }

    // GETSTATUS, honouring bwPollTimeout, until the state is neither
    // `busyState` nor the sync state before it; the last reply.
    StatusReply pollWhile(uint8_t busyState, int limit = 100)
    {
        StatusReply reply = getStatus();
        while (reply.outcome == FeatureOutcome::kDone && reply.state == busyState && limit-- > 0) {
            m_clock.advance(reply.pollTimeoutMs);
            reply = getStatus();
        }
        return reply;
    }

    // One block: DNLOAD, then GETSTATUS through dfuDNBUSY.
    StatusReply downloadBlock(uint16_t number, const Bytes& data)
    {
        if (send(dfu::kDnload, number, data) != FeatureOutcome::kDone)
            return StatusReply();
        return pollWhile(dfu::kDnBusy);
    }

    // The whole download and manifestation; the last status.
    StatusReply upgrade(const Bytes& payload)
    {
        const size_t block = m_machine.config().transferSize;
        uint16_t number = 0;
        for (size_t offset = 0; offset < payload.size(); offset += block, ++number) {
            const Bytes data(payload.begin() + offset,
                             payload.begin() + std::min(payload.size(), offset + block));
            const StatusReply reply = downloadBlock(number, data);
            if (reply.state != dfu::kDnloadIdle)
                return reply;
        }
        if (send(dfu::kDnload, number) != FeatureOutcome::kDone)
            return StatusReply();
        return pollWhile(dfu::kManifest);
    }

private:
    DfuConfig withClock(DfuConfig config)
    {
        config.clockMs = m_clock.function();
        return config;
    }

    ManualClock m_clock;
    DfuMachine m_machine;
};

Bytes text(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

// ---- descriptor and functional report --------------------------------------

TEST(SimDfuDescriptor, DeclaresTheFourFeatureReportsWithTheirLengths)
{
    for (uint16_t transferSize : {1, 64, 1024, 4090}) {
        sim::DeviceConfig config;
        config.dfu.transferSize = transferSize;
        const sim::SimDevice device(config);
        const Bytes descriptor = device.reportDescriptor();
        hidplatform::ReportDescriptorInfo info;
        ASSERT_TRUE(hidplatform::parseReportDescriptor(descriptor.data(), descriptor.size(), &info))
            << transferSize;

        using hidplatform::ReportKind;
        const struct {
            uint8_t id;
            size_t length;
        } expected[] = {{0xD0, 6u + transferSize}, {0xD1, 7}, {0xD2, 8}, {0xD3, 2}};
        for (const auto& e : expected) {
            const hidplatform::ReportInfo* report = info.find(ReportKind::kFeature, e.id);
            ASSERT_NE(report, nullptr) << std::hex << int(e.id);
            EXPECT_EQ(report->byteLength(), e.length) << std::hex << int(e.id);
        }
        // The longest feature report: the request report, or the functional one.
        const size_t longest = std::max<size_t>(6u + transferSize, 8u);
        EXPECT_EQ(info.lengths.feature, longest);
        EXPECT_EQ(device.featureReportLength(), longest);
        // The control reports are unchanged.
        ASSERT_NE(info.find(ReportKind::kInput, 1), nullptr);
        EXPECT_EQ(info.find(ReportKind::kInput, 1)->byteLength(), 65);
        ASSERT_NE(info.find(ReportKind::kOutput, 1), nullptr);
        EXPECT_EQ(info.find(ReportKind::kOutput, 1)->byteLength(), 65);
        EXPECT_EQ(info.reports.size(), 6u);
    }
}

TEST(SimDfuDescriptor, WithoutDfuTheDeviceDeclaresNoFeatureReportAndRefusesThem)
{
    sim::DeviceConfig config;
    config.dfu.enabled = false;
    sim::SimDevice device(config);
    const Bytes descriptor = device.reportDescriptor();
    hidplatform::ReportDescriptorInfo info;
    ASSERT_TRUE(hidplatform::parseReportDescriptor(descriptor.data(), descriptor.size(), &info));
    EXPECT_EQ(info.lengths.feature, 0);
    EXPECT_EQ(device.featureReportLength(), 0);

    Bytes reply;
    for (uint8_t id : {0xD1, 0xD2, 0xD3})
        EXPECT_EQ(device.getFeatureReport(id, &reply), FeatureOutcome::kStalled) << int(id);
    const Bytes abort = {0xD0, dfu::kAbort, 0, 0, 0, 0};
    EXPECT_EQ(device.setFeatureReport(abort.data(), abort.size()), FeatureOutcome::kStalled);
}

TEST(SimDfuDescriptor, TransferSizeIsBoundedByWhatUhidCarries)
{
    const uint16_t cases[][2] = {{0, 1}, {4090, 4090}, {4091, 4090}, {65535, 4090}};
    for (const auto& c : cases) {
        DfuConfig config;
        config.transferSize = c[0];
        EXPECT_EQ(DfuMachine(config).config().transferSize, c[1]) << c[0];
    }
}

TEST(SimDfuFunctional, ReportsAttributesDetachTimeoutTransferSizeAndVersion)
{
    struct Case {
        bool canDownload, tolerant, willDetach;
        uint16_t detachTimeoutMs, transferSize;
        Bytes expected;
    };
    const Case cases[] = {
        {true, true, true, 1000, 1024, {0xD2, 0x0D, 0xE8, 0x03, 0x00, 0x04, 0x10, 0x01}},
        {true, false, true, 250, 64, {0xD2, 0x09, 0xFA, 0x00, 0x40, 0x00, 0x10, 0x01}},
        {false, true, false, 0, 4090, {0xD2, 0x04, 0x00, 0x00, 0xFA, 0x0F, 0x10, 0x01}},
        {true, false, false, 0xFFFF, 1, {0xD2, 0x01, 0xFF, 0xFF, 0x01, 0x00, 0x10, 0x01}},
    };
    for (const Case& c : cases) {
        DfuConfig config;
        config.canDownload = c.canDownload;
        config.manifestationTolerant = c.tolerant;
        config.willDetach = c.willDetach;
        config.detachTimeoutMs = c.detachTimeoutMs;
        config.transferSize = c.transferSize;
        DfuMachine machine(config);
        Bytes reply;
        ASSERT_EQ(machine.getReport(dfu::kFunctionalReportId, &reply), FeatureOutcome::kDone);
        EXPECT_EQ(reply, c.expected) << c.transferSize;
    }
}

// ---- the download ----------------------------------------------------------

TEST(SimDfuDownload, BlocksGoThroughBusyWithThePollTimeoutThenManifestationTolerant)
{
    DfuConfig config;
    config.transferSize = 16;
    config.pollTimeoutMs = 30;
    config.manifestTimeoutMs = 200;
    Host host(config);
    const Bytes payload = testsupport::countingBytes(40);  // blocks of 16, 16, 8
    EXPECT_EQ(host.machine().lastDownload().blocks, 0u);

    for (uint16_t block = 0; block < 3; ++block) {
        const Bytes data(payload.begin() + block * 16,
                         payload.begin() + std::min<size_t>(40, block * 16 + 16));
        ASSERT_EQ(host.send(dfu::kDnload, block, data), FeatureOutcome::kDone);
        EXPECT_EQ(host.machine().state(), dfu::kDnloadSync);
        StatusReply reply = host.getStatus();
        EXPECT_EQ(reply.state, dfu::kDnBusy);
        EXPECT_EQ(reply.status, dfu::kOk);
        EXPECT_EQ(reply.pollTimeoutMs, 30u);
        host.clock().advance(30);
        reply = host.getStatus();
        EXPECT_EQ(reply.state, dfu::kDnloadIdle) << block;
        EXPECT_EQ(reply.pollTimeoutMs, 0u);
    }
    EXPECT_EQ(host.machine().downloaded(), payload);
    EXPECT_TRUE(host.machine().flash().empty()) << "nothing is flashed before manifestation";

    ASSERT_EQ(host.send(dfu::kDnload, 3), FeatureOutcome::kDone);
    EXPECT_EQ(host.machine().state(), dfu::kManifestSync);
    StatusReply reply = host.getStatus();
    EXPECT_EQ(reply.state, dfu::kManifest);
    EXPECT_EQ(reply.pollTimeoutMs, 200u);
    EXPECT_TRUE(host.machine().flash().empty());
    host.clock().advance(200);
    reply = host.getStatus();
    EXPECT_EQ(reply.state, dfu::kIdle);
    EXPECT_EQ(reply.status, dfu::kOk);
    EXPECT_EQ(host.machine().flash(), payload);
    EXPECT_EQ(host.machine().manifestations(), 1u);
    EXPECT_EQ(host.machine().earlyPolls(), 0u);
    // What the benchmark's pace per block is taken from: the manifested
    // download's blocks and bytes, not the next download's (none yet).
    EXPECT_EQ(host.machine().lastDownload().blocks, 3u);
    EXPECT_EQ(host.machine().lastDownload().bytes, 40u);
    EXPECT_GE(host.machine().lastDownload().firstToLast.count(), 0);
    ASSERT_EQ(host.send(dfu::kDnload, 0, Bytes(16, 0x55)), FeatureOutcome::kDone);
    EXPECT_EQ(host.machine().lastDownload().blocks, 3u);
}

TEST(SimDfuDownload, ManifestationNotTolerantWaitsForResetAndDetachRestarts)
{
    DfuConfig config;
    config.transferSize = 8;
    config.manifestationTolerant = false;
    config.detachTimeoutMs = 500;
    Host host(config);
    const Bytes payload = testsupport::countingBytes(20);
    const StatusReply last = host.upgrade(payload);
    EXPECT_EQ(last.state, dfu::kManifestWaitReset);
    EXPECT_EQ(last.status, dfu::kOk);
    EXPECT_EQ(host.machine().flash(), payload);
    // It keeps saying so until it is reset.
    EXPECT_EQ(host.getStatus().state, dfu::kManifestWaitReset);

    EXPECT_FALSE(host.machine().takeRestartRequest());
    ASSERT_EQ(host.send(dfu::kDetach, 2000), FeatureOutcome::kDone);
    EXPECT_EQ(host.machine().state(), dfu::kIdle);
    EXPECT_EQ(host.machine().takeRestartRequest(), std::optional<uint32_t>(500))
        << "the device restarts within its own detach timeout";
    EXPECT_FALSE(host.machine().takeRestartRequest()) << "handed out once";
    EXPECT_EQ(host.machine().restarts(), 1u);
    EXPECT_EQ(host.machine().flash(), payload) << "the flash survives the restart";

    ASSERT_EQ(host.send(dfu::kDetach, 20), FeatureOutcome::kDone);
    EXPECT_EQ(host.machine().takeRestartRequest(), std::optional<uint32_t>(20));
}

TEST(SimDfuDownload, ZeroPollTimeoutSkipsBusy)
{
    DfuConfig config;
    config.pollTimeoutMs = 0;
    Host host(config);
    ASSERT_EQ(host.send(dfu::kDnload, 0, text("abc")), FeatureOutcome::kDone);
    const StatusReply reply = host.getStatus();
    EXPECT_EQ(reply.state, dfu::kDnloadIdle);
    EXPECT_EQ(reply.pollTimeoutMs, 0u);
}

TEST(SimDfuDownload, PollingBeforeThePollTimeoutIsAnsweredBusyWithTheTimeLeftAndCounted)
{
    DfuConfig config;
    config.pollTimeoutMs = 100;
    config.manifestTimeoutMs = 50;
    Host host(config);
    ASSERT_EQ(host.send(dfu::kDnload, 0, text("x")), FeatureOutcome::kDone);
    EXPECT_EQ(host.getStatus().pollTimeoutMs, 100u);
    host.clock().advance(60);
    StatusReply reply = host.getStatus();
    EXPECT_EQ(reply.state, dfu::kDnBusy);
    EXPECT_EQ(reply.pollTimeoutMs, 40u);
    host.clock().advance(40);
    EXPECT_EQ(host.getStatus().state, dfu::kDnloadIdle);

    ASSERT_EQ(host.send(dfu::kDnload, 1), FeatureOutcome::kDone);
    EXPECT_EQ(host.getStatus().state, dfu::kManifest);
    reply = host.getStatus();
    EXPECT_EQ(reply.state, dfu::kManifest);
    EXPECT_EQ(reply.pollTimeoutMs, 50u);
    EXPECT_EQ(host.machine().earlyPolls(), 2u);
    host.clock().advance(50);
    EXPECT_EQ(host.getStatus().state, dfu::kIdle);
}

TEST(SimDfuDownload, BusyTimeStartsWithTheFirstGetStatusHoweverLateItComes)
{
    DfuConfig config;
    config.pollTimeoutMs = 30;
    config.manifestTimeoutMs = 40;
    Host host(config);
    ASSERT_EQ(host.send(dfu::kDnload, 0, text("x")), FeatureOutcome::kDone);
    host.clock().advance(500);
    StatusReply reply = host.getStatus();
    EXPECT_EQ(reply.state, dfu::kDnBusy);
    EXPECT_EQ(reply.pollTimeoutMs, 30u);
    host.clock().advance(30);
    ASSERT_EQ(host.getStatus().state, dfu::kDnloadIdle);
    ASSERT_EQ(host.send(dfu::kDnload, 1), FeatureOutcome::kDone);
    host.clock().advance(500);
    reply = host.getStatus();
    EXPECT_EQ(reply.state, dfu::kManifest);
    EXPECT_EQ(reply.pollTimeoutMs, 40u);
    EXPECT_EQ(host.machine().earlyPolls(), 0u);
}

TEST(SimDfuDownload, GetStateReportsTheStateWithoutMovingIt)
{
    Host host;
    ASSERT_EQ(host.send(dfu::kDnload, 0, text("x")), FeatureOutcome::kDone);
    for (int i = 0; i < 2; ++i) {
        Bytes reply;
        ASSERT_EQ(host.machine().getReport(dfu::kStateReportId, &reply), FeatureOutcome::kDone);
        EXPECT_EQ(reply, (Bytes{dfu::kStateReportId, dfu::kDnloadSync}));
    }
}

// ---- requests per state ----------------------------------------------------

// Brings a fresh machine into `state` the way a host would.
void driveTo(Host& host, uint8_t state)
{
    switch (state) {
    case dfu::kIdle:
        return;
    case dfu::kDnloadSync:
        host.send(dfu::kDnload, 0, text("block"));
        break;
    case dfu::kDnBusy:
        host.send(dfu::kDnload, 0, text("block"));
        host.getStatus();
        break;
    case dfu::kDnloadIdle:
        host.downloadBlock(0, text("block"));
        break;
    case dfu::kManifestSync:
        host.downloadBlock(0, text("block"));
        host.send(dfu::kDnload, 1);
        break;
    case dfu::kManifest:
        driveTo(host, dfu::kManifestSync);
        host.getStatus();
        break;
    case dfu::kManifestWaitReset:
        host.upgrade(text("image"));
        break;
    case dfu::kError:
        host.send(dfu::kClrStatus);  // not allowed in dfuIDLE
        break;
    }
    ASSERT_EQ(host.machine().state(), state);
}

TEST(SimDfuStates, EachRequestIsAcceptedOnlyWhereDfuAllowsIt)
{
    enum Action { kDnloadData, kDnloadZero, kClrStatus, kAbort, kUpload, kUnknown, kGetStatusAsSet };
    struct Case {
        uint8_t from;
        Action action;
        FeatureOutcome outcome;
        uint8_t state;   // afterwards
        uint8_t status;  // afterwards
    };
    const FeatureOutcome ok = FeatureOutcome::kDone, stall = FeatureOutcome::kStalled;
    const uint8_t stalled = dfu::kErrStalledPkt;
    const Case cases[] = {
        {dfu::kIdle, kDnloadData, ok, dfu::kDnloadSync, dfu::kOk},
        {dfu::kIdle, kDnloadZero, stall, dfu::kError, stalled},
        {dfu::kIdle, kClrStatus, stall, dfu::kError, stalled},
        {dfu::kIdle, kAbort, ok, dfu::kIdle, dfu::kOk},
        {dfu::kIdle, kUpload, stall, dfu::kError, stalled},
        {dfu::kIdle, kUnknown, stall, dfu::kError, stalled},
        {dfu::kIdle, kGetStatusAsSet, stall, dfu::kError, stalled},
        {dfu::kDnloadSync, kDnloadData, stall, dfu::kError, stalled},
        {dfu::kDnloadSync, kAbort, stall, dfu::kError, stalled},
        {dfu::kDnloadSync, kClrStatus, stall, dfu::kError, stalled},
        {dfu::kDnBusy, kDnloadData, stall, dfu::kError, stalled},
        {dfu::kDnBusy, kAbort, stall, dfu::kError, stalled},
        {dfu::kDnloadIdle, kDnloadData, ok, dfu::kDnloadSync, dfu::kOk},
        {dfu::kDnloadIdle, kDnloadZero, ok, dfu::kManifestSync, dfu::kOk},
        {dfu::kDnloadIdle, kAbort, ok, dfu::kIdle, dfu::kOk},
        {dfu::kDnloadIdle, kClrStatus, stall, dfu::kError, stalled},
        {dfu::kDnloadIdle, kUpload, stall, dfu::kError, stalled},
        {dfu::kManifestSync, kDnloadData, stall, dfu::kError, stalled},
        {dfu::kManifestSync, kAbort, stall, dfu::kError, stalled},
        {dfu::kManifest, kDnloadZero, stall, dfu::kError, stalled},
        {dfu::kManifest, kAbort, stall, dfu::kError, stalled},
        {dfu::kManifestWaitReset, kDnloadData, stall, dfu::kError, stalled},
        {dfu::kManifestWaitReset, kAbort, stall, dfu::kError, stalled},
        {dfu::kError, kClrStatus, ok, dfu::kIdle, dfu::kOk},
        {dfu::kError, kAbort, stall, dfu::kError, stalled},
        {dfu::kError, kDnloadData, stall, dfu::kError, stalled},
    };
    for (const Case& c : cases) {
        DfuConfig config;
        config.manifestationTolerant = false;  // so that dfuMANIFEST-WAIT-RESET is reachable
        Host host(config);
        driveTo(host, c.from);
        const std::string label = "from state " + std::to_string(c.from) + ", action " +
                                  std::to_string(static_cast<int>(c.action));
        // The block number a DNLOAD with data must carry here.
        const uint16_t nextBlock = c.from == dfu::kDnloadIdle ? 1 : 0;
        FeatureOutcome outcome = ok;
        switch (c.action) {
        case kDnloadData: outcome = host.send(dfu::kDnload, nextBlock, text("more")); break;
        case kDnloadZero: outcome = host.send(dfu::kDnload, nextBlock); break;
        case kClrStatus: outcome = host.send(dfu::kClrStatus); break;
        case kAbort: outcome = host.send(dfu::kAbort); break;
        case kUpload: outcome = host.send(dfu::kUpload, 0); break;
        case kUnknown: outcome = host.send(7); break;
        case kGetStatusAsSet: outcome = host.send(dfu::kGetStatus); break;
        }
        EXPECT_EQ(outcome, c.outcome) << label;
        EXPECT_EQ(host.machine().state(), c.state) << label;
        EXPECT_EQ(host.machine().status(), c.status) << label;
    }
}

TEST(SimDfuStates, DetachIsAcceptedInEveryStateAndRestartsTheDevice)
{
    for (uint8_t from : {dfu::kIdle, dfu::kDnloadSync, dfu::kDnBusy, dfu::kDnloadIdle,
                         dfu::kManifestSync, dfu::kManifest, dfu::kError}) {
        Host host;
        driveTo(host, from);
        EXPECT_EQ(host.send(dfu::kDetach, 100), FeatureOutcome::kDone) << int(from);
        EXPECT_EQ(host.machine().state(), dfu::kIdle) << int(from);
        EXPECT_EQ(host.machine().status(), dfu::kOk) << int(from);
        EXPECT_TRUE(host.machine().downloaded().empty()) << int(from);
        EXPECT_TRUE(host.machine().takeRestartRequest()) << int(from);
    }
}

TEST(SimDfuStates, AnErrorKeepsItsFirstStatusThroughFurtherStalls)
{
    DfuConfig config;
    config.failAtBlock = 0;
    config.failStatus = dfu::kErrVerify;
    Host host(config);
    ASSERT_EQ(host.send(dfu::kDnload, 0, text("x")), FeatureOutcome::kDone);
    EXPECT_EQ(host.send(dfu::kAbort), FeatureOutcome::kStalled);
    const StatusReply reply = host.getStatus();
    EXPECT_EQ(reply.state, dfu::kError);
    EXPECT_EQ(reply.status, dfu::kErrVerify);
}

TEST(SimDfuStates, ClearStatusAllowsAFreshDownloadFromBlockZero)
{
    Host host;
    host.downloadBlock(0, text("old"));
    host.send(dfu::kClrStatus);  // stalls: dfuERROR
    ASSERT_EQ(host.send(dfu::kClrStatus), FeatureOutcome::kDone);
    const Bytes payload = text("new firmware");
    EXPECT_EQ(host.upgrade(payload).state, dfu::kIdle);
    EXPECT_EQ(host.machine().flash(), payload);
}

TEST(SimDfuStates, AbortDropsThePartialDownload)
{
    Host host;
    host.downloadBlock(0, text("partial"));
    ASSERT_EQ(host.send(dfu::kAbort), FeatureOutcome::kDone);
    EXPECT_TRUE(host.machine().downloaded().empty());
    const Bytes payload = text("whole");
    EXPECT_EQ(host.upgrade(payload).state, dfu::kIdle);
    EXPECT_EQ(host.machine().flash(), payload);
}

TEST(SimDfuStates, MalformedRequestReportsStall)
{
    DfuConfig config;
    config.transferSize = 8;
    struct Case {
        const char* label;
        Bytes report;
    };
    const Case cases[] = {
        {"shorter than the header", {0xD0, dfu::kDnload, 0, 0, 1}},
        {"more data than the transfer size", {0xD0, dfu::kDnload, 0, 0, 9, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
        {"more data than the report holds", {0xD0, dfu::kDnload, 0, 0, 4, 0, 1, 2}},
        {"CLRSTATUS with data", {0xD0, dfu::kClrStatus, 0, 0, 1, 0, 0}},
    };
    for (const Case& c : cases) {
        Host host(config);
        EXPECT_EQ(host.machine().setReport(c.report.data(), c.report.size()), FeatureOutcome::kStalled)
            << c.label;
        EXPECT_EQ(host.machine().state(), dfu::kError) << c.label;
        EXPECT_EQ(host.machine().status(), dfu::kErrStalledPkt) << c.label;
    }
}

TEST(SimDfuStates, ReportsOutsideTheProtocolFailWithoutTouchingTheState)
{
    Host host;
    driveTo(host, dfu::kDnloadIdle);
    const Bytes notRequests[] = {{0xD1, 0, 0, 0, 0, 0, 0}, {0xD2, 1}, {0x01, 1, 2, 3}};
    for (const Bytes& report : notRequests)
        EXPECT_EQ(host.machine().setReport(report.data(), report.size()), FeatureOutcome::kStalled);
    Bytes reply;
    for (uint8_t id : {0xD0, 0xD4, 0x01, 0x00})
        EXPECT_EQ(host.machine().getReport(id, &reply), FeatureOutcome::kStalled) << int(id);
    EXPECT_EQ(host.machine().state(), dfu::kDnloadIdle);
    EXPECT_EQ(host.machine().status(), dfu::kOk);
}

TEST(SimDfuStates, DeviceThatCannotDownloadStallsDnload)
{
    DfuConfig config;
    config.canDownload = false;
    Host host(config);
    EXPECT_EQ(host.send(dfu::kDnload, 0, text("x")), FeatureOutcome::kStalled);
    EXPECT_EQ(host.machine().status(), dfu::kErrStalledPkt);
}

// ---- block numbering -------------------------------------------------------

TEST(SimDfuBlocks, OutOfOrderBlockNumbersAreAnAddressError)
{
    struct Case {
        const char* label;
        std::vector<uint16_t> numbers;  // the last one is the wrong one
    };
    const Case cases[] = {
        {"first block not 0", {1}},
        {"block skipped", {0, 1, 3}},
        {"block repeated", {0, 1, 1}},
        {"going back to 0", {0, 1, 2, 0}},
    };
    for (const Case& c : cases) {
        Host host;
        for (size_t i = 0; i + 1 < c.numbers.size(); ++i)
            ASSERT_EQ(host.downloadBlock(c.numbers[i], text("ok")).state, dfu::kDnloadIdle) << c.label;
        EXPECT_EQ(host.send(dfu::kDnload, c.numbers.back(), text("bad")), FeatureOutcome::kDone)
            << c.label;
        const StatusReply reply = host.getStatus();
        EXPECT_EQ(reply.state, dfu::kError) << c.label;
        EXPECT_EQ(reply.status, dfu::kErrAddress) << c.label;
    }
}

TEST(SimDfuBlocks, NumbersWrapAt65536)
{
    DfuConfig config;
    config.transferSize = 1;
    config.pollTimeoutMs = 0;
    Host host(config);
    const Bytes payload = testsupport::countingBytes(65536 + 3);
    EXPECT_EQ(host.upgrade(payload).state, dfu::kIdle);
    EXPECT_EQ(host.machine().flash(), payload);
}

// ---- faults ----------------------------------------------------------------

TEST(SimDfuFaults, FailAtBlockEntersErrorWithTheStatusWhenThatBlockArrives)
{
    for (uint8_t status : {dfu::kErrTarget, dfu::kErrWrite, dfu::kErrStalledPkt}) {
        DfuConfig config;
        config.transferSize = 4;
        config.failAtBlock = 2;
        config.failStatus = status;
        Host host(config);
        const StatusReply reply = host.upgrade(testsupport::countingBytes(40));
        EXPECT_EQ(reply.state, dfu::kError);
        EXPECT_EQ(reply.status, status);
        EXPECT_EQ(host.machine().downloaded().size(), 8u) << "blocks 0 and 1 were taken";
        EXPECT_TRUE(host.machine().flash().empty());
    }
}

// The request that would carry block 2 is refused on sight: only it, only
// the request report, and before the core sees its data.
TEST(SimDfuFaults, StallAtBlockRefusesTheRequestThatWouldCarryThatBlock)
{
    DfuConfig config;
    config.transferSize = 4;
    config.stallAtBlock = 2;
    Host host(config);
    for (uint16_t block = 0; block < 2; ++block) {
        EXPECT_FALSE(host.machine().refusesSetBeforeData(dfu::kRequestReportId)) << block;
        ASSERT_EQ(host.downloadBlock(block, text("abcd")).state, dfu::kDnloadIdle) << block;
    }
    EXPECT_TRUE(host.machine().refusesSetBeforeData(dfu::kRequestReportId));
    EXPECT_FALSE(host.machine().refusesSetBeforeData(dfu::kStatusReportId));
    EXPECT_EQ(host.send(dfu::kDnload, 2, text("efgh")), FeatureOutcome::kStalled);
    const StatusReply reply = host.getStatus();
    EXPECT_EQ(reply.state, dfu::kError);
    EXPECT_EQ(reply.status, dfu::kErrStalledPkt);
    EXPECT_EQ(host.machine().downloaded(), text("abcdabcd"));
    // CLRSTATUS ends the download; the next one starts over from block 0.
    EXPECT_EQ(host.send(dfu::kClrStatus), FeatureOutcome::kDone);
    EXPECT_FALSE(host.machine().refusesSetBeforeData(dfu::kRequestReportId));
}

TEST(SimDfuFaults, SilentAtBlockAnswersNothingFromThatBlockOn)
{
    DfuConfig config;
    config.transferSize = 4;
    config.silentAtBlock = 1;
    Host host(config);
    ASSERT_EQ(host.downloadBlock(0, text("abcd")).state, dfu::kDnloadIdle);
    EXPECT_EQ(host.send(dfu::kDnload, 1, text("efgh")), FeatureOutcome::kUnanswered);
    EXPECT_EQ(host.getStatus().outcome, FeatureOutcome::kUnanswered);
    Bytes reply;
    EXPECT_EQ(host.machine().getReport(dfu::kFunctionalReportId, &reply), FeatureOutcome::kUnanswered);
    EXPECT_EQ(host.send(dfu::kAbort), FeatureOutcome::kUnanswered);
    EXPECT_TRUE(host.machine().silent());
}

TEST(SimDfuFaults, VanishAtBlockIsGoneForEveryLaterReport)
{
    DfuConfig config;
    config.transferSize = 4;
    config.vanishAtBlock = 0;
    Host host(config);
    Bytes reply;
    EXPECT_EQ(host.machine().getReport(dfu::kFunctionalReportId, &reply), FeatureOutcome::kDone);
    EXPECT_EQ(host.getStatus().state, dfu::kIdle);
    EXPECT_EQ(host.send(dfu::kDnload, 0, text("abcd")), FeatureOutcome::kGone);
    EXPECT_EQ(host.getStatus().outcome, FeatureOutcome::kGone);
    EXPECT_EQ(host.send(dfu::kClrStatus), FeatureOutcome::kGone);
    EXPECT_TRUE(host.machine().gone());
}

TEST(SimDfuFaults, BusyForeverNeverLeavesDnBusy)
{
    DfuConfig config;
    config.busyForever = true;
    config.pollTimeoutMs = 100;
    Host host(config);
    ASSERT_EQ(host.send(dfu::kDnload, 0, text("x")), FeatureOutcome::kDone);
    for (int i = 0; i < 50; ++i) {
        const StatusReply reply = host.getStatus();
        ASSERT_EQ(reply.state, dfu::kDnBusy) << i;
        EXPECT_EQ(reply.pollTimeoutMs, 100u);
        host.clock().advance(reply.pollTimeoutMs + 1000);
    }
    EXPECT_EQ(host.machine().earlyPolls(), 0u) << "a host that waits is not early";
}

TEST(SimDfuFaults, GarbageStatusStartsWithTheFirstBlock)
{
    struct Case {
        StatusGarbage garbage;
        size_t length;
        uint8_t state;
    };
    const Case cases[] = {
        {StatusGarbage::kStateOutOfRange, 7, dfu::kGarbageState},
        {StatusGarbage::kShortReport, 3, 0},
    };
    for (const Case& c : cases) {
        DfuConfig config;
        config.garbage = c.garbage;
        Host host(config);
        StatusReply reply = host.getStatus();
        EXPECT_EQ(reply.raw.size(), 7u) << "well-formed before the download";
        EXPECT_EQ(reply.state, dfu::kIdle);
        ASSERT_EQ(host.send(dfu::kDnload, 0, text("x")), FeatureOutcome::kDone);
        reply = host.getStatus();
        ASSERT_EQ(reply.outcome, FeatureOutcome::kDone);
        ASSERT_EQ(reply.raw.size(), c.length);
        EXPECT_EQ(reply.raw[0], dfu::kStatusReportId);
        if (c.length == 7) {
            EXPECT_EQ(reply.raw[5], c.state);
        }
        // The state machine itself runs on; a restart ends the garbage.
        ASSERT_EQ(host.send(dfu::kDetach, 0), FeatureOutcome::kDone);
        EXPECT_EQ(host.getStatus().raw.size(), 7u);
    }
}

// ---- flash store and version convention ------------------------------------

TEST(SimDfuFlash, VersionComesFromTheImagesFirstLine)
{
    struct Case {
        std::string image;
        std::string version;
    };
    const std::string longVersion(40, '9');
    const Case cases[] = {
        {"hiddfu-sim firmware 2.1.0\nrest", "2.1.0"},
        {"hiddfu-sim firmware 1.0.0-rc.1+abc\n", "1.0.0-rc.1+abc"},
        {"hiddfu-sim firmware " + longVersion + "\n", longVersion},
        {"hiddfu-sim firmware " + longVersion + "9\n", ""},  // too long
        {"hiddfu-sim firmware 2.1.0", ""},                    // no line end
        {"hiddfu-sim firmware \n", ""},                       // empty version
        {"hiddfu-sim firmware 2.1 0\n", ""},                  // space inside
        {"hiddfu-sim firmware 2.1.0\r\n", ""},                // control character
        {"Hiddfu-sim firmware 2.1.0\n", ""},
        {" hiddfu-sim firmware 2.1.0\n", ""},
        {"hiddfu-sim firmware2.1.0\n", ""},
        {"", ""},
        {"\n", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(sim::firmwareVersionOf(text(c.image)), c.version) << c.image;
}

TEST(SimDfuFlash, FlashedImageSetsTheVersionTheDeviceReports)
{
    sim::DeviceConfig config;
    config.replies = {{"version", "1.0.0"}};
    config.dfu.pollTimeoutMs = 0;
    config.dfu.manifestTimeoutMs = 0;
    sim::SimDevice device(config);
    EXPECT_EQ(device.firmwareVersion(), "1.0.0");

    auto flashThroughDevice = [&device](const Bytes& image) {
        Host reference;  // only for building request reports
        const Bytes block = reference.requestReport(dfu::kDnload, 0, image);
        const Bytes last = reference.requestReport(dfu::kDnload, 1);
        Bytes status;
        device.setFeatureReport(block.data(), block.size());
        device.getFeatureReport(dfu::kStatusReportId, &status);
        device.setFeatureReport(last.data(), last.size());
        for (int i = 0; i < 3; ++i)
            device.getFeatureReport(dfu::kStatusReportId, &status);
        return status.size() == 7 ? status[5] : 0xFF;
    };
    ASSERT_EQ(flashThroughDevice(text("hiddfu-sim firmware 2.0.0\npayload")), dfu::kIdle);
    EXPECT_EQ(device.firmwareVersion(), "2.0.0");

    Bytes version(65, 0);
    version[0] = 1;
    std::copy_n("version", 7, version.begin() + 1);
    const std::vector<sim::Report> answers = device.onOutputReport(version.data(), version.size());
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(answers[0].data() + 1)), "2.0.0");

    ASSERT_EQ(flashThroughDevice(text("an image without a version line")), dfu::kIdle);
    EXPECT_EQ(device.firmwareVersion(), "2.0.0") << "an image without one keeps the version";
    EXPECT_EQ(device.dfuSnapshot().flash(), text("an image without a version line"));
}

TEST(SimDfuFlash, ManifestationWritesTheFlashFileWhole)
{
    testsupport::TempDir dir;
    DfuConfig config;
    config.transferSize = 100;
    config.flashPath = dir.path("flash.bin");
    Host host(config);
    const Bytes first = testsupport::countingBytes(1000, 7);
    ASSERT_EQ(host.upgrade(first).state, dfu::kIdle);
    EXPECT_EQ(testsupport::readFile(config.flashPath), first);

    // A second, smaller image replaces it entirely; no temporary file stays.
    const Bytes second = text("hiddfu-sim firmware 3.0.0\n");
    ASSERT_EQ(host.upgrade(second).state, dfu::kIdle);
    EXPECT_EQ(testsupport::readFile(config.flashPath), second);
    EXPECT_FALSE(std::filesystem::exists(config.flashPath + ".tmp"));

    // A new device on the same flash starts with that firmware.
    DfuMachine restarted(config);
    ASSERT_TRUE(restarted.loadFlash());
    EXPECT_EQ(restarted.flash(), second);
    EXPECT_EQ(restarted.firmwareVersion(), "3.0.0");
}

TEST(SimDfuFlash, UnwritableFlashFileFailsManifestationWithErrProg)
{
    testsupport::TempDir dir;
    DfuConfig config;
    config.flashPath = dir.path("no-such-folder/flash.bin");
    Host host(config);
    const StatusReply reply = host.upgrade(text("hiddfu-sim firmware 9.9.9\n"));
    EXPECT_EQ(reply.state, dfu::kError);
    EXPECT_EQ(reply.status, dfu::kErrProg);
    EXPECT_TRUE(host.machine().flash().empty());
    EXPECT_TRUE(host.machine().firmwareVersion().empty());
    EXPECT_EQ(host.machine().manifestations(), 0u);
}

TEST(SimDfuFlash, MissingFlashFileIsAnEmptyFlash)
{
    testsupport::TempDir dir;
    DfuConfig config;
    config.flashPath = dir.path("absent.bin");
    DfuMachine machine(config);
    EXPECT_TRUE(machine.loadFlash());
    EXPECT_TRUE(machine.flash().empty());
}

// ---- the in-process backend ------------------------------------------------

class SimDfuBus : public testsupport::SimBusTest {
protected:
    std::shared_ptr<sim::SimDevice> plugDfu(unsigned index, const DfuConfig& dfuConfig)
    {
        return plug(index, 0x1234, 0x5678, [&](sim::DeviceConfig& c) { c.dfu = dfuConfig; });
    }

    static Bytes request(uint8_t bRequest, uint16_t value, const Bytes& data, size_t length)
    {
        Bytes report(length, 0);
        report[0] = dfu::kRequestReportId;
        report[1] = bRequest;
        report[2] = static_cast<uint8_t>(value);
        report[3] = static_cast<uint8_t>(value >> 8);
        report[4] = static_cast<uint8_t>(data.size());
        std::copy(data.begin(), data.end(), report.begin() + 6);
        return report;
    }

    static bool setRequest(hidplatform::Handle h, uint8_t bRequest, uint16_t value,
                           const Bytes& data = {}, size_t length = 1030)
    {
        const Bytes report = request(bRequest, value, data, length);
        return hidplatform::setFeature(h, report.data(), report.size());
    }

    static Bytes getReport(hidplatform::Handle h, uint8_t id, size_t capacity = 64)
    {
        Bytes report(capacity, 0);
        report[0] = id;
        size_t got = 0;
        if (!hidplatform::getFeature(h, report.data(), report.size(), &got))
            return Bytes();
        report.resize(got);
        return report;
    }
};

TEST_F(SimDfuBus, FeatureReportsReachTheDevicesMachine)
{
    DfuConfig config;
    config.pollTimeoutMs = 0;
    config.manifestTimeoutMs = 0;
    auto device = plugDfu(0, config);
    hidplatform::Handle h = hidplatform::openByIndex(0);
    ASSERT_NE(h, hidplatform::kInvalidHandle);

    EXPECT_EQ(getReport(h, 0xD2), (Bytes{0xD2, 0x0D, 0xE8, 0x03, 0x00, 0x04, 0x10, 0x01}));
    ASSERT_TRUE(setRequest(h, dfu::kDnload, 0, text("payload")));
    EXPECT_EQ(getReport(h, 0xD1), (Bytes{0xD1, 0, 0, 0, 0, dfu::kDnloadIdle, 0}));
    ASSERT_TRUE(setRequest(h, dfu::kDnload, 1));
    EXPECT_EQ(getReport(h, 0xD1)[5], dfu::kManifest);
    EXPECT_EQ(getReport(h, 0xD1)[5], dfu::kIdle);
    EXPECT_EQ(device->dfuSnapshot().flash(), text("payload"));
    EXPECT_EQ(getReport(h, 0xD3), (Bytes{0xD3, dfu::kIdle}));

    // A stall fails the call and leaves dfuERROR behind.
    EXPECT_FALSE(setRequest(h, dfu::kClrStatus, 0, {}, 5));
    EXPECT_EQ(getReport(h, 0xD1)[5], dfu::kError);

    // Every transfer is in the log, report and all.
    const std::vector<simbus::IoRecord> log = simbus::ioLog();
    ASSERT_EQ(log.size(), 9u);
    EXPECT_EQ(log[0].kind, simbus::IoRecord::Kind::kGetFeature);
    EXPECT_EQ(log[0].transferred, 8u);
    EXPECT_EQ(log[1].kind, simbus::IoRecord::Kind::kSetFeature);
    EXPECT_EQ(log[1].feature, request(dfu::kDnload, 0, text("payload"), 1030));
    EXPECT_EQ(log[1].result, hidplatform::IoResult::kDone);
    EXPECT_EQ(log[7].kind, simbus::IoRecord::Kind::kSetFeature);
    EXPECT_EQ(log[7].result, hidplatform::IoResult::kError);
    EXPECT_EQ(simbus::virtualElapsedMs(), 0);
    hidplatform::close(h);
}

TEST_F(SimDfuBus, ReplyIsCutToTheCallersBuffer)
{
    plugDfu(0, DfuConfig());
    hidplatform::Handle h = hidplatform::openByIndex(0);
    EXPECT_EQ(getReport(h, 0xD2, 3), (Bytes{0xD2, 0x0D, 0xE8}));
    hidplatform::close(h);
}

TEST_F(SimDfuBus, SilentDeviceCostsTheKernelsWaitAndFails)
{
    DfuConfig config;
    config.silentAtBlock = 0;
    plugDfu(0, config);
    hidplatform::Handle h = hidplatform::openByIndex(0);
    EXPECT_FALSE(setRequest(h, dfu::kDnload, 0, text("x")));
    EXPECT_EQ(simbus::virtualElapsedMs(), simbus::kFeatureTimeoutMs);
    EXPECT_TRUE(getReport(h, 0xD1).empty());
    EXPECT_EQ(simbus::virtualElapsedMs(), 2 * simbus::kFeatureTimeoutMs);
    const auto log = simbus::ioLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].result, hidplatform::IoResult::kTimeout);
    EXPECT_EQ(log[1].timeoutMs, simbus::kFeatureTimeoutMs);
    hidplatform::close(h);
}

TEST_F(SimDfuBus, VanishingDeviceIsUnplugged)
{
    DfuConfig config;
    config.pollTimeoutMs = 0;
    config.vanishAtBlock = 1;
    plugDfu(0, config);
    hidplatform::Handle h = hidplatform::openByIndex(0);
    ASSERT_TRUE(setRequest(h, dfu::kDnload, 0, text("x")));
    EXPECT_EQ(getReport(h, 0xD1)[5], dfu::kDnloadIdle);
    EXPECT_FALSE(setRequest(h, dfu::kDnload, 1, text("y")));
    EXPECT_TRUE(getReport(h, 0xD2).empty());
    uint16_t vid = 0, pid = 0;
    EXPECT_FALSE(hidplatform::getAttributes(h, &vid, &pid));
    EXPECT_EQ(hidplatform::openByIndex(0), hidplatform::kInvalidHandle);
    EXPECT_EQ(simbus::virtualElapsedMs(), 0) << "a vanished device fails at once";
    hidplatform::close(h);
}

TEST_F(SimDfuBus, DetachMakesTheDeviceEnumerateAgain)
{
    auto device = plugDfu(0, DfuConfig());
    hidplatform::Handle before = hidplatform::openByIndex(0);
    ASSERT_TRUE(setRequest(before, dfu::kDetach, 1000));
    EXPECT_TRUE(getReport(before, 0xD2).empty()) << "the old handle is stale";
    hidplatform::Handle after = hidplatform::openByIndex(0);
    ASSERT_NE(after, hidplatform::kInvalidHandle);
    EXPECT_EQ(getReport(after, 0xD1), (Bytes{0xD1, 0, 0, 0, 0, dfu::kIdle, 0}));
    EXPECT_EQ(device->dfuSnapshot().restarts(), 1u);
    hidplatform::close(before);
    hidplatform::close(after);
}

TEST_F(SimDfuBus, FeatureFaultFailsWithoutReachingTheDevice)
{
    auto device = plugDfu(0, DfuConfig());
    simbus::Faults faults;
    faults.featuresFail = true;
    simbus::setFaults(0, faults);
    hidplatform::Handle h = hidplatform::openByIndex(0);
    EXPECT_FALSE(setRequest(h, dfu::kDnload, 0, text("x")));
    EXPECT_TRUE(getReport(h, 0xD2).empty());
    EXPECT_EQ(device->dfuSnapshot().state(), dfu::kIdle);
    EXPECT_TRUE(device->dfuSnapshot().downloaded().empty());
    hidplatform::close(h);
}

TEST_F(SimDfuBus, DeviceWithoutDfuRefusesFeatureReports)
{
    DfuConfig config;
    config.enabled = false;
    plugDfu(0, config);
    hidplatform::Handle h = hidplatform::openByIndex(0);
    hidplatform::ReportLengths lengths;
    ASSERT_TRUE(hidplatform::getReportLengths(h, &lengths));
    EXPECT_EQ(lengths.feature, 0);
    EXPECT_TRUE(getReport(h, 0xD2).empty());
    EXPECT_FALSE(setRequest(h, dfu::kAbort, 0));
    hidplatform::close(h);
}

} // namespace

// ---- standard DFU class requests (the request layer, no reports) ----------

namespace classrequests {

hiddfu_dev_setup setupOf(bool toHost, uint8_t request, uint16_t value, uint16_t length)
{
    hiddfu_dev_setup setup{};
    setup.to_host = toHost ? 1 : 0;
    setup.request = request;
    setup.value = value;
    setup.length = length;
    return setup;
}

// GETSTATUS as a DFU host sends it: 6 answer bytes.
Bytes getStatus(DfuMachine& machine)
{
    Bytes reply;
    EXPECT_EQ(machine.classRequest(setupOf(true, dfu::kGetStatus, 0, 6), nullptr, &reply),
              FeatureOutcome::kDone);
    return reply;
}

} // namespace classrequests

// A download as a DFU host on the control endpoint makes it: DNLOAD blocks,
// GETSTATUS after each (moving the clock by the poll timeout it asks for),
// the zero-length DNLOAD, GETSTATUS until dfuIDLE. A block the firmware
// fails shows in the next GETSTATUS as dfuERROR with its status.
TEST(SimDfuClassRequests, DownloadThroughTheRequestLayer)
{
    using classrequests::getStatus;
    using classrequests::setupOf;
    struct Case {
        const char* name;
        std::optional<uint32_t> failAtBlock;
        uint8_t lastState;
        uint8_t lastStatus;
    };
    const Case cases[] = {
        {"all blocks taken", std::nullopt, dfu::kIdle, dfu::kOk},
        {"block 1 fails", 1u, dfu::kError, dfu::kErrWrite},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ManualClock clock;
        DfuConfig config;
        config.transferSize = 16;
        config.pollTimeoutMs = 7;
        config.failAtBlock = c.failAtBlock;
        config.clockMs = clock.function();
        DfuMachine machine(config);
        const Bytes payload = testsupport::countingBytes(40);
        Bytes status;
        const uint16_t dataBlocks = static_cast<uint16_t>((payload.size() + 15) / 16);
        // The blocks with data, then the zero-length one.
        for (uint16_t block = 0; block <= dataBlocks; ++block) {
            const size_t offset = std::min<size_t>(block * 16u, payload.size());
            const size_t length = std::min<size_t>(16, payload.size() - offset);
            Bytes reply;
            ASSERT_EQ(machine.classRequest(setupOf(false, dfu::kDnload, block, static_cast<uint16_t>(length)),
                                           payload.data() + offset, &reply),
                      FeatureOutcome::kDone);
            EXPECT_TRUE(reply.empty());
            for (int polls = 0; polls < 10; ++polls) {
                status = getStatus(machine);
                ASSERT_EQ(status.size(), 6u);
                if (status[4] != dfu::kDnBusy && status[4] != dfu::kManifest &&
                    status[4] != dfu::kManifestSync)
                    break;
                clock.advance(status[1] | status[2] << 8 | status[3] << 16);
            }
            if (status[4] == dfu::kError || length == 0)
                break;
        }
        EXPECT_EQ(status[0], c.lastStatus);
        EXPECT_EQ(status[4], c.lastState);
        Bytes state;
        ASSERT_EQ(machine.classRequest(setupOf(true, dfu::kGetState, 0, 1), nullptr, &state),
                  FeatureOutcome::kDone);
        EXPECT_EQ(state, Bytes{c.lastState});
        EXPECT_EQ(machine.flash(), c.failAtBlock ? Bytes() : payload);
        // UPLOAD is never offered: refused, as a stall.
        Bytes upload;
        EXPECT_EQ(machine.classRequest(setupOf(true, dfu::kUpload, 0, 16), nullptr, &upload),
                  FeatureOutcome::kStalled);
    }
}
