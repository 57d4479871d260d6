// The in-process backend of the HID platform layer: the behaviour the
// transport tests rely on, seen through hid_platform.h.
#include "hid_platform.h"
#include "report_descriptor.h"
#include "sim_bus_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace {

using hidplatform::Handle;
using hidplatform::IoResult;
using hidplatform::kInvalidHandle;
using sim::Report;

class SimBus : public testsupport::SimBusTest {};

TEST_F(SimBus, OpensPluggedDevicesAndReportsTheirIdsAndLengths)
{
    plug(0, 0xABCD, 0x0102);
    plug(1, 0x1234, 0x5678, [](sim::DeviceConfig& c) {
        c.inputDataBytes = 0;
        c.outputDataBytes = 65535;
    });

    Handle first = hidplatform::openByIndex(0);
    Handle second = hidplatform::openByIndex(1);
    ASSERT_NE(first, kInvalidHandle);
    ASSERT_NE(second, kInvalidHandle);
    EXPECT_NE(first, second);
    EXPECT_EQ(hidplatform::openByIndex(2), kInvalidHandle);

    uint16_t vid = 0, pid = 0;
    ASSERT_TRUE(hidplatform::getAttributes(first, &vid, &pid));
    EXPECT_EQ(vid, 0xABCD);
    EXPECT_EQ(pid, 0x0102);

    hidplatform::ReportLengths lengths;
    ASSERT_TRUE(hidplatform::getReportLengths(first, &lengths));
    EXPECT_EQ(lengths.input, 65);
    EXPECT_EQ(lengths.output, 65);
    EXPECT_EQ(lengths.feature, 1030); // the DFU request report: 6 + the default transfer size
    ASSERT_TRUE(hidplatform::getReportLengths(second, &lengths));
    EXPECT_EQ(lengths.input, 0); // no input report at all
    EXPECT_EQ(lengths.output, 65535); // the most 16 bits can state

    EXPECT_EQ(simbus::openHandleCount(), 2u);
    hidplatform::close(first);
    hidplatform::close(second);
}

// The lengths the in-process backend states must be the ones a real backend
// reads from the same device's report descriptor, or tests here would pass
// against lengths no attached device has.
TEST_F(SimBus, ReportLengthsAgreeWithTheDevicesDescriptor)
{
    const uint16_t sizes[][2] = {{64, 64},  {0, 64},    {64, 0},     {1, 1},
                                 {99, 100}, {255, 256}, {300, 4095}, {65534, 65534}};
    for (const auto& size : sizes) {
        auto device = plug(0, 0x1234, 0x5678, [&](sim::DeviceConfig& c) {
            c.inputDataBytes = size[0];
            c.outputDataBytes = size[1];
        });
        const std::vector<uint8_t> descriptor = device->reportDescriptor();
        hidplatform::ReportDescriptorInfo parsed;
        ASSERT_TRUE(
            hidplatform::parseReportDescriptor(descriptor.data(), descriptor.size(), &parsed));

        Handle h = hidplatform::openByIndex(0);
        hidplatform::ReportLengths stated;
        ASSERT_TRUE(hidplatform::getReportLengths(h, &stated));
        EXPECT_EQ(stated.input, parsed.lengths.input) << size[0];
        EXPECT_EQ(stated.output, parsed.lengths.output) << size[1];
        EXPECT_EQ(stated.feature, parsed.lengths.feature);
        EXPECT_TRUE(parsed.usesReportIds);
        hidplatform::close(h);
    }
}

TEST_F(SimBus, AnswersReachEveryHandleOpenOnTheDeviceAndNoOther)
{
    plug(0);
    plug(1);
    Handle a = hidplatform::openByIndex(0);
    Handle b = hidplatform::openByIndex(0);
    Handle other = hidplatform::openByIndex(1);

    Report version(65, 0);
    version[0] = 1;
    std::copy_n("version", 7, version.begin() + 1);
    size_t written = 0;
    ASSERT_EQ(hidplatform::writeReport(a, version.data(), version.size(), 500, &written),
              IoResult::kDone);
    EXPECT_EQ(written, 65u);

    for (Handle h : {a, b}) {
        uint8_t buffer[65] = {};
        size_t got = 0;
        ASSERT_EQ(hidplatform::readReport(h, buffer, sizeof buffer, 500, &got), IoResult::kDone);
        EXPECT_EQ(got, 65u);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer + 1)), "1.0.0");
        // One answer per handle: the next read finds nothing.
        EXPECT_EQ(hidplatform::readReport(h, buffer, sizeof buffer, 500, &got), IoResult::kTimeout);
    }
    uint8_t buffer[65];
    size_t got = 0;
    EXPECT_EQ(hidplatform::readReport(other, buffer, sizeof buffer, 500, &got), IoResult::kTimeout);
    EXPECT_EQ(simbus::virtualElapsedMs(), 1500);

    hidplatform::close(a);
    hidplatform::close(b);
    hidplatform::close(other);
}

TEST_F(SimBus, ReadsKeepWithinTheBufferAndNeverBlock)
{
    plug(0);
    Handle h = hidplatform::openByIndex(0);
    simbus::queueInput(0, Report(100, 0x5A));
    simbus::queueInput(0, Report());

    uint8_t buffer[11];
    buffer[10] = 0xEE;
    size_t got = 99;
    ASSERT_EQ(hidplatform::readReport(h, buffer, 10, 500, &got), IoResult::kDone);
    EXPECT_EQ(got, 10u);
    EXPECT_EQ(buffer[9], 0x5A);
    EXPECT_EQ(buffer[10], 0xEE);

    ASSERT_EQ(hidplatform::readReport(h, buffer, 10, 500, &got), IoResult::kDone);
    EXPECT_EQ(got, 0u);

    // Nothing queued: a timed wait times out at once on the virtual clock; a
    // wait for ever fails instead of hanging the test.
    EXPECT_EQ(hidplatform::readReport(h, buffer, 10, 250, &got), IoResult::kTimeout);
    EXPECT_EQ(hidplatform::readReport(h, buffer, 10, hidplatform::kWaitForever, &got),
              IoResult::kError);
    EXPECT_EQ(simbus::virtualElapsedMs(), 250);

    const std::vector<simbus::IoRecord> log = simbus::ioLog();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].kind, simbus::IoRecord::Kind::kRead);
    EXPECT_EQ(log[0].length, 10u);
    EXPECT_EQ(log[0].transferred, 10u);
    EXPECT_EQ(log[2].timeoutMs, 250);
    EXPECT_EQ(log[3].timeoutMs, hidplatform::kWaitForever);
    hidplatform::close(h);
}

TEST_F(SimBus, UnpluggedDeviceFailsItsOpenHandlesEvenWhenAnotherTakesItsPlace)
{
    plug(0);
    Handle h = hidplatform::openByIndex(0);
    simbus::unplug(0);
    EXPECT_EQ(hidplatform::openByIndex(0), kInvalidHandle);
    plug(0);

    uint16_t vid = 0, pid = 0;
    hidplatform::ReportLengths lengths;
    const uint8_t report[2] = {1, 0};
    size_t count = 0;
    uint8_t buffer[65];
    EXPECT_FALSE(hidplatform::getAttributes(h, &vid, &pid));
    EXPECT_FALSE(hidplatform::getReportLengths(h, &lengths));
    EXPECT_EQ(hidplatform::writeReport(h, report, 2, 500, &count), IoResult::kError);
    EXPECT_EQ(hidplatform::readReport(h, buffer, 65, 500, &count), IoResult::kError);
    EXPECT_EQ(simbus::openHandleCount(), 1u);
    hidplatform::close(h);
}

TEST_F(SimBus, CountsClosesOfHandlesThatAreNotOpen)
{
    plug(0);
    Handle h = hidplatform::openByIndex(0);
    EXPECT_EQ(simbus::handleIndex(h), 0);
    hidplatform::close(h);
    EXPECT_EQ(simbus::handleIndex(h), -1);
    hidplatform::close(kInvalidHandle);
    EXPECT_EQ(simbus::unknownCloseCount(), 0u);
    hidplatform::close(h);
    EXPECT_EQ(simbus::unknownCloseCount(), 1u);
    simbus::reset(); // the double close was the point of this test
}

// hidplatform::Device closes its interface exactly once wherever ownership
// went: moved, moved over another device, released to the caller, reset,
// or out of scope. The fixture's TearDown checks that nothing was closed twice.
TEST_F(SimBus, DeviceClosesItsInterfaceOnceWhereverItWent)
{
    plug(0);
    plug(1);
    {
        hidplatform::Device first(hidplatform::openByIndex(0));
        ASSERT_TRUE(first.valid());
        hidplatform::Device moved(std::move(first));
        EXPECT_FALSE(first.valid());
        hidplatform::Device other(hidplatform::openByIndex(1));
        EXPECT_EQ(simbus::openHandleCount(), 2u);
        other = std::move(moved);
        EXPECT_EQ(simbus::openHandleCount(), 1u) << "the interface it held is closed";
        EXPECT_EQ(simbus::handleIndex(other.get()), 0);
    }
    EXPECT_EQ(simbus::openHandleCount(), 0u);

    hidplatform::Device kept(hidplatform::openByIndex(0));
    const Handle released = kept.release();
    EXPECT_FALSE(kept.valid());
    EXPECT_EQ(simbus::openHandleCount(), 1u) << "released: the caller closes it";
    kept.reset(released);
    kept.reset();
    kept.reset();
    EXPECT_EQ(simbus::openHandleCount(), 0u);
}

} // namespace
