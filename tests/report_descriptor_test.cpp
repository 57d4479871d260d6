// The report descriptor reader: report lengths as HidP_GetCaps gives them
// (data rounded up to bytes, plus the report id byte), the per-id report
// list, and refusal of malformed descriptors without reading past the end.
#include "report_descriptor.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using hidplatform::ReportDescriptorInfo;
using hidplatform::ReportKind;
using hidplatform::parseReportDescriptor;

namespace {

using Bytes = std::vector<uint8_t>;

// Parses from an exactly sized heap copy, so that the sanitizer build catches
// any read past the end.
bool parse(const Bytes& descriptor, ReportDescriptorInfo* info)
{
    const Bytes copy(descriptor);
    return parseReportDescriptor(copy.empty() ? nullptr : copy.data(), copy.size(), info);
}

// A boot keyboard: modifiers (8 x 1 bit), a reserved byte, LEDs (5 x 1 bit
// out, 3 bits padding), six key codes. No report ids.
const Bytes kBootKeyboard = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01,              // Generic Desktop, Keyboard, Application
    0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7,              // Key Codes, Usage Min/Max
    0x15, 0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x08,  // Logical 0..1, Size 1, Count 8
    0x81, 0x02,                                      // Input (modifiers)
    0x95, 0x01, 0x75, 0x08, 0x81, 0x01,              // Count 1, Size 8, Input Constant
    0x95, 0x05, 0x75, 0x01, 0x05, 0x08,              // Count 5, Size 1, LEDs
    0x19, 0x01, 0x29, 0x05, 0x91, 0x02,              // Usage Min/Max, Output (LEDs)
    0x95, 0x01, 0x75, 0x03, 0x91, 0x01,              // Count 1, Size 3, Output Constant
    0x95, 0x06, 0x75, 0x08, 0x15, 0x00, 0x25, 0x65,  // Count 6, Size 8, Logical 0..101
    0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00,  // Key Codes, Input Array
    0xC0,
};

// A three-button wheel mouse behind report id 2, as composite devices declare
// it: buttons (3 x 1 bit), 5 bits padding, X, Y, wheel (3 x 8 bits).
const Bytes kMouseWithId = {
    0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x85, 0x02,  // Mouse, Application, Report ID 2
    0x09, 0x01, 0xA1, 0x00,                          // Pointer, Physical
    0x05, 0x09, 0x19, 0x01, 0x29, 0x03,              // Buttons 1..3
    0x15, 0x00, 0x25, 0x01, 0x95, 0x03, 0x75, 0x01,  // Logical 0..1, Count 3, Size 1
    0x81, 0x02,                                      // Input
    0x95, 0x01, 0x75, 0x05, 0x81, 0x03,              // Count 1, Size 5, Input Constant
    0x05, 0x01, 0x09, 0x30, 0x09, 0x31, 0x09, 0x38,  // X, Y, Wheel
    0x15, 0x81, 0x25, 0x7F, 0x75, 0x08, 0x95, 0x03,  // Logical -127..127, Size 8, Count 3
    0x81, 0x06,                                      // Input Relative
    0xC0, 0xC0,
};

struct LengthCase {
    std::string name;
    Bytes descriptor;
    bool usesReportIds;
    uint16_t input;
    uint16_t output;
    uint16_t feature;
};

class ReportLengthTest : public testing::TestWithParam<LengthCase> {};

TEST_P(ReportLengthTest, computesLongestReportOfEachKind)
{
    const LengthCase& c = GetParam();
    ReportDescriptorInfo info;
    ASSERT_TRUE(parse(c.descriptor, &info));
    EXPECT_EQ(info.usesReportIds, c.usesReportIds);
    EXPECT_EQ(info.lengths.input, c.input);
    EXPECT_EQ(info.lengths.output, c.output);
    EXPECT_EQ(info.lengths.feature, c.feature);
}

const LengthCase kLengthCases[] = {
    {"Empty", {}, false, 0, 0, 0},
    {"VendorNoIds",
     {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08, 0x95, 0x40,  // Size 8, Count 64
      0x09, 0x01, 0x81, 0x02, 0x09, 0x01, 0x91, 0x02, 0xC0},
     false, 65, 65, 0},
    {"VendorReportIdOne",
     {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x01, 0x75, 0x08, 0x95, 0x40,
      0x09, 0x01, 0x81, 0x02, 0x95, 0x20, 0x09, 0x01, 0x91, 0x02, 0xC0},  // output 32
     true, 65, 33, 0},
    {"LongestOfSeveralIds",
     {0x75, 0x08, 0x85, 0x01, 0x95, 0x08, 0x81, 0x02,  // id 1: input 8
      0x85, 0x02, 0x95, 0x20, 0x81, 0x02,              // id 2: input 32
      0x85, 0x03, 0x95, 0x03, 0xB1, 0x02,              // id 3: feature 3 bytes ...
      0x75, 0x04, 0x95, 0x01, 0xB1, 0x03},             // ... and 4 bits
     true, 33, 0, 5},
    {"BitsOfOneReportAddUpBeforeRounding",
     {0x75, 0x03, 0x95, 0x01, 0x81, 0x02, 0x75, 0x05, 0x81, 0x02},  // 3 + 5 bits: one byte
     false, 2, 0, 0},
    {"SixteenBitReportCount",
     {0x85, 0x01, 0x75, 0x08, 0x96, 0x2C, 0x01, 0x81, 0x02},  // Count 300
     true, 301, 0, 0},
    {"ThirtyTwoBitReportCount",
     {0x75, 0x08, 0x97, 0x00, 0x02, 0x00, 0x00, 0x91, 0x02},  // Count 512
     false, 0, 513, 0},
    {"PopRestoresSizeAndCount",
     {0x75, 0x08, 0x95, 0x04, 0xA4,   // Size 8, Count 4, Push
      0x95, 0x10, 0x81, 0x02, 0xB4,   // Count 16, Input, Pop
      0x91, 0x02},                    // Output with Count 4 again
     false, 17, 5, 0},
    {"LongItemSkipped",
     {0x75, 0x08, 0x95, 0x02,
      0xFE, 0x04, 0x10, 0x95, 0xFF, 0x81, 0x02,  // long item whose data look like items
      0x81, 0x02},
     false, 3, 0, 0},
    {"EmptyLongItem", {0xFE, 0x00, 0x10, 0x75, 0x08, 0x95, 0x01, 0xB1, 0x02}, false, 0, 0, 2},
    {"ZeroSizedItemsDeclareNothing", {0x75, 0x08, 0x95, 0x00, 0x81, 0x02, 0x75, 0x00, 0x95, 0x04, 0x91, 0x02},
     false, 0, 0, 0},
    {"LocalItemsIgnored", {0x0A, 0x34, 0x12, 0x19, 0x01, 0x29, 0x10, 0x75, 0x10, 0x95, 0x02, 0x81, 0x02},
     false, 5, 0, 0},
    {"LongestPossibleReport", {0x75, 0x08, 0x96, 0xFE, 0xFF, 0x81, 0x02}, false, 0xFFFF, 0, 0},
    {"BootKeyboard", kBootKeyboard, false, 9, 2, 0},
    {"MouseBehindReportId", kMouseWithId, true, 5, 0, 0},
};

INSTANTIATE_TEST_SUITE_P(Descriptors, ReportLengthTest, testing::ValuesIn(kLengthCases),
                         [](const testing::TestParamInfo<LengthCase>& info) { return info.param.name; });

struct MalformedCase {
    std::string name;
    Bytes descriptor;
};

class MalformedDescriptorTest : public testing::TestWithParam<MalformedCase> {};

TEST_P(MalformedDescriptorTest, isRefusedAndLeavesResultUntouched)
{
    ReportDescriptorInfo info;
    info.usesReportIds = true;
    info.lengths.input = 7;
    info.reports.resize(2);
    EXPECT_FALSE(parse(GetParam().descriptor, &info));
    EXPECT_TRUE(info.usesReportIds);
    EXPECT_EQ(info.lengths.input, 7);
    EXPECT_EQ(info.reports.size(), 2u);
}

const MalformedCase kMalformedCases[] = {
    {"OneByteItemWithoutData", {0x75, 0x08, 0x95}},
    {"TwoByteItemCut", {0x96, 0x2C}},
    {"FourByteItemCut", {0x97, 0x00, 0x02, 0x00}},
    {"LongItemHeaderCut", {0xFE, 0x05}},
    {"LongItemDataCut", {0xFE, 0x05, 0x10, 0x00, 0x00}},
    {"ReportIdZero", {0x85, 0x00}},
    {"ReportIdWithoutData", {0x84}},
    {"ReportIdAbove255", {0x86, 0x00, 0x01}},
    {"PopWithoutPush", {0xB4}},
    {"PushTooDeep", {0xA4, 0xA4, 0xA4, 0xA4, 0xA4, 0xA4, 0xA4, 0xA4, 0xA4}},
    {"EndCollectionWithoutCollection", {0xC0}},
    {"CollectionNeverEnded", {0xA1, 0x01, 0xA1, 0x00, 0xC0}},
    {"DataBeforeFirstReportId", {0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0x85, 0x01, 0x81, 0x02}},
    {"PopBackToNoReportId", {0x75, 0x08, 0x95, 0x01, 0xA4, 0x85, 0x01, 0x81, 0x02, 0xB4, 0x81, 0x02}},
    {"ReportOverflowsSixteenBits", {0x75, 0x08, 0x96, 0xFF, 0xFF, 0x81, 0x02}},
    {"ItemsAddUpPastSixteenBits", {0x75, 0x08, 0x96, 0xFE, 0xFF, 0x81, 0x02, 0x95, 0x01, 0x81, 0x02}},
    {"HugeSizeTimesCount", {0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0xB1, 0x02}},
};

INSTANTIATE_TEST_SUITE_P(Descriptors, MalformedDescriptorTest, testing::ValuesIn(kMalformedCases),
                         [](const testing::TestParamInfo<MalformedCase>& info) { return info.param.name; });

TEST(ReportDescriptor, EveryCutOfACompleteDescriptorIsRefused)
{
    // The keyboard opens its collection at byte 4 and closes it with its last
    // byte, so each cut either stops inside an item or leaves the collection
    // open; only the cuts between the first items (at 2 and 4) are complete
    // descriptors, of no reports.
    for (size_t size = 1; size < kBootKeyboard.size(); ++size) {
        const Bytes prefix(kBootKeyboard.begin(), kBootKeyboard.begin() + static_cast<long>(size));
        ReportDescriptorInfo info;
        const bool wellFormed = size == 2 || size == 4;
        EXPECT_EQ(parse(prefix, &info), wellFormed) << "cut at " << size;
        EXPECT_TRUE(info.reports.empty()) << "cut at " << size;
    }
}

TEST(ReportDescriptor, NullDataWithSizeIsRefused)
{
    ReportDescriptorInfo info;
    EXPECT_FALSE(parseReportDescriptor(nullptr, 4, &info));
}

TEST(ReportDescriptor, ListsEachReportByKindAndId)
{
    const Bytes descriptor = {
        0x75, 0x08, 0x85, 0x05, 0x95, 0x02, 0xB1, 0x02,  // id 5: feature 2 bytes
        0x85, 0x01, 0x95, 0x10, 0x81, 0x02,              // id 1: input 16 bytes
        0x95, 0x08, 0x91, 0x02,                          //       output 8 bytes
        0x85, 0x03, 0x75, 0x01, 0x95, 0x09, 0xB1, 0x02,  // id 3: feature 9 bits
        0x85, 0x05, 0x75, 0x08, 0x95, 0x01, 0xB1, 0x02,  // id 5 again: one more byte
    };
    ReportDescriptorInfo info;
    ASSERT_TRUE(parse(descriptor, &info));

    struct Expected {
        ReportKind kind;
        uint8_t id;
        uint32_t bits;
        uint16_t bytes;
    };
    const Expected expected[] = {
        {ReportKind::kInput, 1, 128, 17},
        {ReportKind::kOutput, 1, 64, 9},
        {ReportKind::kFeature, 3, 9, 3},
        {ReportKind::kFeature, 5, 24, 4},
    };
    ASSERT_EQ(info.reports.size(), std::size(expected));
    for (size_t i = 0; i < info.reports.size(); ++i) {
        EXPECT_EQ(info.reports[i].kind, expected[i].kind) << i;
        EXPECT_EQ(info.reports[i].id, expected[i].id) << i;
        EXPECT_EQ(info.reports[i].dataBits, expected[i].bits) << i;
        EXPECT_EQ(info.reports[i].byteLength(), expected[i].bytes) << i;
    }
    EXPECT_EQ(info.lengths.feature, 4);
}

TEST(ReportDescriptor, FindsOnlyDeclaredReports)
{
    const Bytes descriptor = {0x75, 0x08, 0x95, 0x04, 0x85, 0x02, 0xB1, 0x02, 0x85, 0x07, 0x81, 0x02};
    ReportDescriptorInfo info;
    ASSERT_TRUE(parse(descriptor, &info));

    struct Query {
        ReportKind kind;
        uint8_t id;
        bool declared;
    };
    const Query queries[] = {
        {ReportKind::kFeature, 2, true},  {ReportKind::kInput, 7, true},
        {ReportKind::kFeature, 7, false}, {ReportKind::kInput, 2, false},
        {ReportKind::kOutput, 2, false},  {ReportKind::kFeature, 0, false},
    };
    for (const Query& query : queries) {
        const hidplatform::ReportInfo* report = info.find(query.kind, query.id);
        EXPECT_EQ(report != nullptr, query.declared) << int(query.kind) << "/" << int(query.id);
        if (report != nullptr) {
            EXPECT_EQ(report->kind, query.kind);
            EXPECT_EQ(report->id, query.id);
        }
    }
}

TEST(ReportDescriptor, ReportsWithoutIdsAreListedUnderIdZero)
{
    ReportDescriptorInfo info;
    ASSERT_TRUE(parse(kBootKeyboard, &info));
    ASSERT_NE(info.find(ReportKind::kInput, 0), nullptr);
    EXPECT_EQ(info.find(ReportKind::kInput, 0)->dataBits, 64u);
    ASSERT_NE(info.find(ReportKind::kOutput, 0), nullptr);
    EXPECT_EQ(info.find(ReportKind::kOutput, 0)->dataBits, 8u);
}

} // namespace
