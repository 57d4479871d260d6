// The USB transport's descriptors and its reading of setup packets.
#include "usb_hid_function.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using sim::usb::ControlAction;
using sim::usb::SetupPacket;

uint32_t le32(const std::vector<uint8_t>& blob, size_t at)
{
    return blob[at] | blob[at + 1] << 8 | blob[at + 2] << 16 | static_cast<uint32_t>(blob[at + 3]) << 24;
}

// The descriptor blob as FunctionFS parses it: the v2 header with full and
// high speed counts, then descriptors chained by their bLength, each speed
// an interface with one IN interrupt endpoint and the HID descriptor naming
// the report descriptor's length.
TEST(UsbHidFunction, DescriptorBlobChainsInterfaceHidAndEndpointPerSpeed)
{
    const std::vector<uint8_t> blob = sim::usb::functionFsDescriptors(0x0123);
    ASSERT_GE(blob.size(), 20u);
    EXPECT_EQ(le32(blob, 0), 3u);  // FUNCTIONFS_DESCRIPTORS_MAGIC_V2
    EXPECT_EQ(le32(blob, 4), blob.size());
    EXPECT_EQ(le32(blob, 8), 3u);  // full and high speed
    EXPECT_EQ(le32(blob, 12), 3u);
    EXPECT_EQ(le32(blob, 16), 3u);
    std::vector<std::vector<uint8_t>> descriptors;
    for (size_t at = 20; at < blob.size(); at += blob[at]) {
        ASSERT_GT(blob[at], 1u);
        ASSERT_LE(at + blob[at], blob.size());
        descriptors.emplace_back(blob.begin() + static_cast<long>(at),
                                 blob.begin() + static_cast<long>(at + blob[at]));
    }
    ASSERT_EQ(descriptors.size(), 6u);
    for (size_t speed = 0; speed < 2; ++speed) {
        const std::vector<uint8_t>& interface = descriptors[speed * 3];
        const std::vector<uint8_t>& hid = descriptors[speed * 3 + 1];
        const std::vector<uint8_t>& endpoint = descriptors[speed * 3 + 2];
        EXPECT_EQ(interface, (std::vector<uint8_t>{9, 4, 0, 0, 1, 3, 0, 0, 0}));
        EXPECT_EQ(hid, sim::usb::hidDescriptor(0x0123));
        EXPECT_EQ(hid, (std::vector<uint8_t>{9, 0x21, 0x11, 0x01, 0, 1, 0x22, 0x23, 0x01}));
        ASSERT_EQ(endpoint.size(), 7u);
        EXPECT_EQ(endpoint[1], 5);     // endpoint
        EXPECT_EQ(endpoint[2], 0x81);  // IN 1
        EXPECT_EQ(endpoint[3], 3);     // interrupt
        EXPECT_EQ(endpoint[4] | endpoint[5] << 8, 64);
    }
    EXPECT_EQ(descriptors[2][6], 1);  // 1 ms in frames at full speed
    EXPECT_EQ(descriptors[5][6], 4);  // 1 ms as 2^(4-1) microframes
}

TEST(UsbHidFunction, StringsBlobDeclaresNoStrings)
{
    EXPECT_EQ(sim::usb::functionFsStrings(),
              (std::vector<uint8_t>{2, 0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(UsbHidFunction, ClassifiesSetupPackets)
{
    struct Case {
        uint8_t requestType, request;
        uint16_t value;
        ControlAction action;
    };
    const Case cases[] = {
        {0x81, 0x06, 0x2200, ControlAction::kSendReportDescriptor},
        {0x81, 0x06, 0x2100, ControlAction::kSendHidDescriptor},
        {0x81, 0x06, 0x2300, ControlAction::kStall},          // physical descriptor
        {0x80, 0x06, 0x2200, ControlAction::kStall},          // to the device, not the interface
        {0xA1, 0x01, 0x03D1, ControlAction::kGetFeatureReport},
        {0xA1, 0x01, 0x0101, ControlAction::kStall},          // input report by GET_REPORT
        {0x21, 0x09, 0x03D0, ControlAction::kSetFeatureReport},
        {0x21, 0x09, 0x0201, ControlAction::kSetOutputReport},
        {0x21, 0x09, 0x0101, ControlAction::kStall},          // input report by SET_REPORT
        {0x21, 0x0A, 0x0000, ControlAction::kAcknowledge},    // SET_IDLE
        {0x21, 0x0B, 0x0001, ControlAction::kStall},          // SET_PROTOCOL: no boot protocol
        {0xA1, 0x02, 0x0000, ControlAction::kStall},          // GET_IDLE
        {0xC1, 0x01, 0x03D1, ControlAction::kStall},          // vendor request
    };
    for (const Case& c : cases) {
        SetupPacket setup;
        setup.requestType = c.requestType;
        setup.request = c.request;
        setup.value = c.value;
        setup.length = 64;
        EXPECT_EQ(sim::usb::classifySetup(setup), c.action)
            << std::hex << "bmRequestType " << int(c.requestType) << " bRequest " << int(c.request)
            << " wValue " << c.value;
    }
    SetupPacket feature;
    feature.value = 0x03D2;
    EXPECT_EQ(sim::usb::reportId(feature), 0xD2);
}

} // namespace
