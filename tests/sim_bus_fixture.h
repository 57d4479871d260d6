// A test fixture over the in-process HID bus: every test starts with an
// empty bus and ends by checking that the code under test closed every
// handle it opened, once.
#ifndef HIDDFU_SIM_BUS_FIXTURE_H
#define HIDDFU_SIM_BUS_FIXTURE_H

#include "sim_bus.h"
#include "sim_device.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>

namespace testsupport {

class SimBusTest : public ::testing::Test {
protected:
    void SetUp() override { simbus::reset(); }

    void TearDown() override
    {
        EXPECT_EQ(simbus::openHandleCount(), 0u) << "a handle was left open";
        EXPECT_EQ(simbus::unknownCloseCount(), 0u) << "a handle was closed twice or never opened";
        simbus::reset();
    }

    // Plugs a device with the given ids (and otherwise default settings,
    // adjusted by `adjust`) in at `index` and returns it for inspection.
    template <typename Adjust>
    std::shared_ptr<sim::SimDevice> plug(unsigned index, uint16_t vid, uint16_t pid, Adjust adjust)
    {
        sim::DeviceConfig config;
        config.vendorId = vid;
        config.productId = pid;
        adjust(config);
        auto device = std::make_shared<sim::SimDevice>(std::move(config));
        simbus::plug(index, device);
        return device;
    }

    std::shared_ptr<sim::SimDevice> plug(unsigned index, uint16_t vid = 0x1234,
                                         uint16_t pid = 0x5678)
    {
        return plug(index, vid, pid, [](sim::DeviceConfig&) {});
    }
};

} // namespace testsupport

#endif
