// The DFU class transport's descriptors and its reading of setup packets.
#include "usb_dfu_function.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using sim::usb::SetupPacket;
using sim::usbdfu::ControlAction;
using Bytes = std::vector<uint8_t>;

Bytes slice(const Bytes& blob, size_t at, size_t length)
{
    return Bytes(blob.begin() + static_cast<long>(at), blob.begin() + static_cast<long>(at + length));
}

// The blob as gadgetfs parses it: a zero tag, a configuration whose
// wTotalLength covers the interface (DFU mode, FE/01/02) and the functional
// descriptor, then exactly one device descriptor.
TEST(UsbDfuFunction, GadgetfsBlobHoldsConfigurationWithDfuInterfaceThenDevice)
{
    sim::DfuConfig dfu;
    dfu.transferSize = 256;
    dfu.detachTimeoutMs = 0x1234;
    dfu.willDetach = false;
    const Bytes blob = sim::usbdfu::gadgetfsDescriptors(dfu, 0xABCD, 0x0102);
    ASSERT_EQ(blob.size(), 4u + 27u + 18u);
    EXPECT_EQ(slice(blob, 0, 4), (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(slice(blob, 4, 9), (Bytes{9, 2, 27, 0, 1, 1, 0, 0x80, 50}));
    EXPECT_EQ(slice(blob, 13, 9), (Bytes{9, 4, 0, 0, 0, 0xFE, 1, 2, 4}));
    // bmAttributes: download, manifestation tolerant; detach, transfer size, DFU 1.1.
    EXPECT_EQ(slice(blob, 22, 9), (Bytes{9, 0x21, 0x05, 0x34, 0x12, 0x00, 0x01, 0x10, 0x01}));
    EXPECT_EQ(slice(blob, 22, 9), sim::usbdfu::functionalDescriptor(dfu));
    EXPECT_EQ(slice(blob, 31, 18),
              (Bytes{18, 1, 0x00, 0x02, 0, 0, 0, 64, 0xCD, 0xAB, 0x02, 0x01, 0x00, 0x01, 1, 2, 3, 1}));
}

TEST(UsbDfuFunction, StringDescriptorsAreUtf16AndCutToTheRequest)
{
    EXPECT_EQ(sim::usbdfu::stringDescriptor(0, "s", 255), (Bytes{4, 3, 0x09, 0x04}));
    EXPECT_EQ(sim::usbdfu::stringDescriptor(3, "ab", 255), (Bytes{6, 3, 'a', 0, 'b', 0}));
    EXPECT_EQ(sim::usbdfu::stringDescriptor(3, "ab", 2), (Bytes{6, 3}));
    EXPECT_EQ(sim::usbdfu::stringDescriptor(4, "", 255).size(), 2u + 2u * std::string("hiddfu device core").size());
    EXPECT_TRUE(sim::usbdfu::stringDescriptor(5, "ab", 255).empty());
}

TEST(UsbDfuFunction, SetupPacketsGoWhereTheyBelong)
{
    struct Case {
        uint8_t requestType, request;
        uint16_t value, index, length;
        ControlAction action;
    };
    const Case cases[] = {
        {0x21, 1, 7, 0, 256, ControlAction::kDfuRequest},    // DNLOAD
        {0xA1, 3, 0, 0, 6, ControlAction::kDfuRequest},      // GETSTATUS
        {0x21, 6, 0, 0, 0, ControlAction::kDfuRequest},      // ABORT
        {0x21, 1, 0, 1, 16, ControlAction::kStall},          // another interface
        {0x22, 1, 0, 0, 16, ControlAction::kStall},          // to an endpoint
        {0xC1, 3, 0, 0, 6, ControlAction::kStall},           // vendor request
        {0x80, 6, 0x0302, 0x409, 255, ControlAction::kSendString},
        {0x80, 6, 0x0100, 0, 18, ControlAction::kStall},     // device descriptor: gadgetfs's
        {0x80, 0, 0, 0, 2, ControlAction::kSendZeros},       // GET_STATUS
        {0x81, 10, 0, 0, 1, ControlAction::kSendZeros},      // GET_INTERFACE
        {0x00, 9, 1, 0, 0, ControlAction::kAcknowledge},     // SET_CONFIGURATION 1
        {0x00, 9, 0, 0, 0, ControlAction::kAcknowledge},     // SET_CONFIGURATION 0
        {0x00, 9, 2, 0, 0, ControlAction::kStall},           // no configuration 2
        {0x01, 11, 0, 0, 0, ControlAction::kAcknowledge},    // SET_INTERFACE alt 0
        {0x01, 11, 1, 0, 0, ControlAction::kStall},          // no alt 1
        {0x00, 3, 1, 0, 0, ControlAction::kStall},           // SET_FEATURE
    };
    for (const Case& c : cases) {
        SetupPacket setup;
        setup.requestType = c.requestType;
        setup.request = c.request;
        setup.value = c.value;
        setup.index = c.index;
        setup.length = c.length;
        EXPECT_EQ(sim::usbdfu::classifySetup(setup), c.action)
            << std::hex << "type " << int{c.requestType} << " request " << int{c.request} << " value "
            << c.value;
    }
    SetupPacket dnload;
    dnload.requestType = 0x21;
    dnload.request = 1;
    dnload.value = 0x1234;
    dnload.length = 200;
    const hiddfu_dev_setup core = sim::usbdfu::coreSetup(dnload);
    EXPECT_EQ(core.to_host, 0);
    EXPECT_EQ(core.request, 1);
    EXPECT_EQ(core.value, 0x1234);
    EXPECT_EQ(core.length, 200);
}

} // namespace
