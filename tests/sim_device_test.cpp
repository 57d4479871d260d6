// The simulated device model: the report descriptor it declares (decoded
// here item by item, independently of how it is built) and its answers to
// control requests.
#include "sim_device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

using sim::DeviceConfig;
using sim::Report;
using sim::SimDevice;

// What a HID parser learns from a descriptor of byte-field main items.
struct DecodedMainItem {
    enum Kind { kInput, kOutput, kOther } kind;
    uint32_t reportId;
    uint32_t reportSize;
    uint32_t reportCount;
};

struct Decoded {
    bool wellFormed = true;
    uint32_t usagePage = 0;   // the usage page in force at the collection
    int applicationCollections = 0;
    int depth = 0;
    int minDepth = 0;
    uint32_t logicalMinimum = 0;
    uint32_t logicalMaximum = 0;
    std::vector<DecodedMainItem> items;
};

// Walks the short items of a report descriptor, keeping the global state a
// HID parser keeps.
Decoded decode(const std::vector<uint8_t>& descriptor)
{
    Decoded d;
    uint32_t reportId = 0, reportSize = 0, reportCount = 0, usagePage = 0;
    size_t i = 0;
    while (i < descriptor.size()) {
        const uint8_t prefix = descriptor[i++];
        const size_t size = (prefix & 3) == 3 ? 4 : (prefix & 3);
        if (prefix == 0xFE || i + size > descriptor.size()) {
            d.wellFormed = false;
            break;
        }
        uint32_t value = 0;
        for (size_t b = 0; b < size; ++b)
            value |= uint32_t{descriptor[i + b]} << (8 * b);
        i += size;
        const int type = (prefix >> 2) & 3;
        const int tag = prefix >> 4;
        if (type == 0) {  // main
            if (tag == 0x8)
                d.items.push_back({DecodedMainItem::kInput, reportId, reportSize, reportCount});
            else if (tag == 0x9)
                d.items.push_back({DecodedMainItem::kOutput, reportId, reportSize, reportCount});
            else if (tag == 0xA) {
                if (value == 1) {
                    ++d.applicationCollections;
                    d.usagePage = usagePage;
                }
                ++d.depth;
            } else if (tag == 0xC) {
                --d.depth;
                d.minDepth = std::min(d.minDepth, d.depth);
            } else
                d.items.push_back({DecodedMainItem::kOther, reportId, reportSize, reportCount});
        } else if (type == 1) {  // global
            if (tag == 0x0)
                usagePage = value;
            else if (tag == 0x1)
                d.logicalMinimum = value;
            else if (tag == 0x2)
                d.logicalMaximum = value;
            else if (tag == 0x7)
                reportSize = value;
            else if (tag == 0x8)
                reportId = value;
            else if (tag == 0x9)
                reportCount = value;
        }
    }
    return d;
}

TEST(SimDeviceDescriptor, DeclaresOneVendorCollectionWithReportsOfTheConfiguredSizes)
{
    struct Case {
        uint16_t inputDataBytes;
        uint16_t outputDataBytes;
    };
    const Case cases[] = {
        {64, 64}, {1, 1}, {255, 255}, {256, 64}, {64, 300}, {4095, 4095}, {65535, 65535},
    };
    for (const Case& c : cases) {
        DeviceConfig config;
        config.inputDataBytes = c.inputDataBytes;
        config.outputDataBytes = c.outputDataBytes;
        config.dfu.enabled = false;  // the DFU feature reports are checked in sim_dfu_test.cpp
        const Decoded d = decode(SimDevice(config).reportDescriptor());
        const std::string label =
            std::to_string(c.inputDataBytes) + "/" + std::to_string(c.outputDataBytes);

        EXPECT_TRUE(d.wellFormed) << label;
        EXPECT_EQ(d.applicationCollections, 1) << label;
        EXPECT_EQ(d.depth, 0) << label;
        EXPECT_EQ(d.minDepth, 0) << label;
        EXPECT_EQ(d.usagePage, 0xFF00u) << label;
        EXPECT_EQ(d.logicalMinimum, 0u) << label;
        EXPECT_EQ(d.logicalMaximum, 255u) << label;
        ASSERT_EQ(d.items.size(), 2u) << label;
        EXPECT_EQ(d.items[0].kind, DecodedMainItem::kInput) << label;
        EXPECT_EQ(d.items[0].reportCount, c.inputDataBytes) << label;
        EXPECT_EQ(d.items[1].kind, DecodedMainItem::kOutput) << label;
        EXPECT_EQ(d.items[1].reportCount, c.outputDataBytes) << label;
        for (const DecodedMainItem& item : d.items) {
            EXPECT_EQ(item.reportId, 1u) << label;
            EXPECT_EQ(item.reportSize, 8u) << label;
        }
    }
}

TEST(SimDeviceDescriptor, LeavesOutADirectionWithoutData)
{
    DeviceConfig noInput;
    noInput.inputDataBytes = 0;
    noInput.dfu.enabled = false;
    Decoded d = decode(SimDevice(noInput).reportDescriptor());
    ASSERT_EQ(d.items.size(), 1u);
    EXPECT_EQ(d.items[0].kind, DecodedMainItem::kOutput);

    DeviceConfig noOutput;
    noOutput.outputDataBytes = 0;
    noOutput.dfu.enabled = false;
    d = decode(SimDevice(noOutput).reportDescriptor());
    ASSERT_EQ(d.items.size(), 1u);
    EXPECT_EQ(d.items[0].kind, DecodedMainItem::kInput);
    EXPECT_EQ(d.applicationCollections, 1);
}

Report bytes(std::initializer_list<int> values)
{
    Report r;
    for (int v : values)
        r.push_back(static_cast<uint8_t>(v));
    return r;
}

// Report id 1, the name's bytes, then zeros up to `total` bytes.
Report request(const std::string& name, size_t total = 65)
{
    Report r(total, 0);
    r[0] = 1;
    std::copy(name.begin(), name.end(), r.begin() + 1);
    return r;
}

TEST(SimDeviceRequests, AnswersListedNamesWithOneFramedReport)
{
    struct Case {
        const char* label;
        uint16_t inputDataBytes;
        bool silent;
        Report sent;
        std::vector<Report> expected;
    };
    const Case cases[] = {
        {"listed name", 64, false, request("version"), {request("1.0.0")}},
        {"name filling the report, no zero", 64, false,
         bytes({1, 'v', 'e', 'r', 's', 'i', 'o', 'n'}), {request("1.0.0")}},
        {"bytes after the zero are not the name", 64, false,
         bytes({1, 'v', 'e', 'r', 's', 'i', 'o', 'n', 0, 'x'}), {request("1.0.0")}},
        {"reply cut to the input report", 3, false, request("version"),
         {bytes({1, '1', '.', '0'})}},
        {"long input report", 300, false, request("version"), {request("1.0.0", 301)}},
        {"empty name", 64, false, request(""), {request("empty reply")}},
        {"name not listed", 64, false, request("versio"), {}},
        {"name longer than a listed one", 64, false, request("version2"), {}},
        {"report id other than 1", 64, false, bytes({2, 'v', 'e', 'r', 's', 'i', 'o', 'n'}), {}},
        {"report of no bytes", 64, false, Report(), {}},
        {"silent device", 64, true, request("version"), {}},
        {"device without input reports", 0, false, request("version"), {}},
    };
    for (const Case& c : cases) {
        DeviceConfig config;
        config.inputDataBytes = c.inputDataBytes;
        config.silent = c.silent;
        config.replies = {{"version", "1.0.0"}, {"", "empty reply"}};
        SimDevice device(config);
        EXPECT_EQ(device.onOutputReport(c.sent.data(), c.sent.size()), c.expected) << c.label;
        ASSERT_EQ(device.receivedOutputs().size(), 1u) << c.label;
        EXPECT_EQ(device.receivedOutputs()[0], c.sent) << c.label;
    }
}

TEST(SimDeviceRequests, RecordsEveryReportInOrder)
{
    SimDevice device(DeviceConfig{});
    const std::vector<Report> sent = {request("a"), bytes({7, 1, 2}), Report(), request("version")};
    for (const Report& r : sent)
        device.onOutputReport(r.data(), r.size());
    EXPECT_EQ(device.receivedOutputs(), sent);
}

} // namespace
