// The usage text and the program name it shows.
#include "kr_frontend.h"

#include "test_support.h"

#include <gtest/gtest.h>

namespace {

const char kUsageForTool[] =
    "Usage:\n"
    "\n"
    "  tool version\n"
    "  tool devices idVendor idProduct\n"
    "  tool update <deviceIdenifier> <sourceFirmwareFile>\n"
    "  tool set <deviceIdenifier> name\n"
    "  tool get <deviceIdenifier> name\n"
    "  tool reset <deviceIdenifier>\n"
    "  tool dfufile [filename [filename...]]\n"
    "\n";

TEST(ProgramName, LastPathComponent)
{
    struct Case {
        const char* argv0;
        const char* name;
    };
    const Case cases[] = {
        {"hiddfu", "hiddfu"},
        {"/usr/local/bin/hiddfu", "hiddfu"},
        {"dir/tool/", "tool"},
        {"dir\\tool.exe", "tool.exe"},
        {"C:\\Program Files\\hiddfu\\hiddfu.exe", "hiddfu.exe"},
        {"dir/sub\\mixed", "mixed"},
        {"dir//tool//", "tool"},
        {"/", "/"},
        {"", "???"},
    };
    for (const Case& c : cases) {
        const char* argv[] = {c.argv0, nullptr};
        EXPECT_EQ(kr::programName(1, argv), c.name) << c.argv0;
    }
}

TEST(ProgramName, NoArgumentsAtAll)
{
    const char* argv[] = {nullptr};
    EXPECT_EQ(kr::programName(0, argv), "tool");
    EXPECT_EQ(kr::programName(1, argv), "???");
}

TEST(Usage, ExactTextWithoutError)
{
    std::string text = testsupport::captureOutput([](FILE* err) { kr::printUsage(err, "tool", nullptr); });
    EXPECT_EQ(text, kUsageForTool);
}

TEST(Usage, ErrorLineComesFirst)
{
    std::string text =
        testsupport::captureOutput([](FILE* err) { kr::printUsage(err, "tool", "Invalid action"); });
    EXPECT_EQ(text, std::string("Error: Invalid action\n\n") + kUsageForTool);
}

TEST(Usage, EmptyArgumentVectorNamesTheProgramTool)
{
    // argc 0 reaches the usage text without an error and succeeds.
    char* argv[] = {nullptr};
    testing::internal::CaptureStderr();
    int status = kr::runCommandLine(0, argv);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, 0);
    EXPECT_EQ(err, kUsageForTool);
}

} // namespace

namespace {

TEST(UsbId, ConvertsLikePercentI)
{
    struct Case {
        const char* text;
        bool ok;
        uint16_t id;
    };
    const Case cases[] = {
        {"4660", true, 0x1234},     {"0x1234", true, 0x1234}, {"0X1234", true, 0x1234},
        {"22136", true, 0x5678},    {"011", true, 9},         {"0", true, 0},
        {"0x12345", true, 0x2345},  {"65537", true, 1},       {"-1", true, 65535},
        {"+7", true, 7},            {" 12", true, 12},        {"0x1234xyz", true, 0x1234},
        {"12abc", true, 12},        {"08", true, 0},          {"abc", false, 0},
        {"", false, 0},             {"-", false, 0},          {"xyz", false, 0},
        {"4294967297", true, 1},
    };
    for (const Case& c : cases) {
        uint16_t id = 0xBEEF;
        EXPECT_EQ(kr::readUsbId(c.text, id), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(id, c.id) << c.text;
        }
    }
}

} // namespace
