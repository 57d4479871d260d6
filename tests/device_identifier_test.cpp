// The device identifier rule: what "%x-%x-%x" reads, including the forms a
// user may type by accident.
#include "kr_mvcommand.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

struct IdentifierCase {
    const char* text;
    uint32_t vid;
    uint32_t pid;
    uint32_t dummy;
    // True when every field fits 32 bits unsigned, so the C library's sscanf
    // is defined for the text and can serve as a second reference.
    bool sscanfDefined;
};

const IdentifierCase kCases[] = {
    {"1234-5678-0000", 0x1234, 0x5678, 0, true},
    {"1234-5678-0003", 0x1234, 0x5678, 3, true},
    {"1ffff-5678-0000", 0x1FFFF, 0x5678, 0, true},
    {"0-5678-0", 0, 0x5678, 0, true},
    {"1234-0-0", 0x1234, 0, 0, true},
    {"zzzz-5678-0", 0, 0, 0, true},
    {"", 0, 0, 0, true},
    {"1234", 0x1234, 0, 0, true},
    {"1234-", 0x1234, 0, 0, true},
    {"1234-zz-1", 0x1234, 0, 0, true},
    {"1234-5678", 0x1234, 0x5678, 0, true},
    {"1234-5678-", 0x1234, 0x5678, 0, true},
    {"1234-5678-12junk", 0x1234, 0x5678, 0x12, true},
    {"1234-5678-0000-9", 0x1234, 0x5678, 0, true},
    {"ABCD-ef01-0", 0xABCD, 0xEF01, 0, true},
    {" 1234-\t5678- 0001", 0x1234, 0x5678, 1, true},
    {"1234 -5678-0", 0x1234, 0, 0, true}, // the hyphen must follow directly
    {"0x1234-0X5678-0x3", 0x1234, 0x5678, 3, true},
    {"0x-5678-0", 0, 0x5678, 0, true}, // "0x" without digits reads as 0
    {"0xg-5678-0", 0, 0, 0, true},
    {"00x12-1-1", 0, 0, 0, true},
    {"+1234-+5678-+0", 0x1234, 0x5678, 0, true},
    {"+-1234-5678", 0, 0, 0, true},
    {"-", 0, 0, 0, true},
    {"12345678-9abcdef0-0", 0x12345678, 0x9ABCDEF0, 0, true},
    {"ffffffff-ffffffff-ffffffff", 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, true},
    // Signs and numbers beyond 32 bits: what the C library's conversion gives.
    {"-1-2-3", 0xFFFFFFFF, 2, 3, false},
    {"1234--5678", 0x1234, 0xFFFFA988, 0, false},
    {"-0x1f-0x-2", 0xFFFFFFE1, 0, 2, false},
    {"123456789-1-1", 0x23456789, 1, 1, false},
    {"12345678901234567890123-1", 0xFFFFFFFF, 1, 0, false},
    {"-ffffffffffffffffffff-1", 0xFFFFFFFF, 1, 0, false},
    {"10000000000000000-5678", 0xFFFFFFFF, 0x5678, 0, false},
    {"ffffffffffffffff-5678", 0xFFFFFFFF, 0x5678, 0, false},
};

TEST(DeviceIdentifier, ReadsWhatPercentXReads)
{
    for (const IdentifierCase& c : kCases) {
        int32_t vid = 11, pid = 22, dummy = 33;
        const bool valid = kr::readDeviceIdentifier(c.text, vid, pid, dummy);
        EXPECT_EQ(static_cast<uint32_t>(vid), c.vid) << '"' << c.text << '"';
        EXPECT_EQ(static_cast<uint32_t>(pid), c.pid) << '"' << c.text << '"';
        EXPECT_EQ(static_cast<uint32_t>(dummy), c.dummy) << '"' << c.text << '"';
        EXPECT_EQ(valid, c.vid != 0 && c.pid != 0) << '"' << c.text << '"';
    }
}

TEST(DeviceIdentifier, AgreesWithTheCLibraryWhereItsResultIsDefined)
{
    for (const IdentifierCase& c : kCases) {
        if (!c.sscanfDefined)
            continue;
        unsigned vid = 0, pid = 0, dummy = 0;
        std::sscanf(c.text, "%x-%x-%x", &vid, &pid, &dummy);
        int32_t ourVid = 0, ourPid = 0, ourDummy = 0;
        kr::readDeviceIdentifier(c.text, ourVid, ourPid, ourDummy);
        EXPECT_EQ(static_cast<uint32_t>(ourVid), vid) << '"' << c.text << '"';
        EXPECT_EQ(static_cast<uint32_t>(ourPid), pid) << '"' << c.text << '"';
        EXPECT_EQ(static_cast<uint32_t>(ourDummy), dummy) << '"' << c.text << '"';
    }
}

} // namespace
