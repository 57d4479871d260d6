// The shipped program run as a process: what goes to standard output, what
// to standard error, and the exit status.
#include "process_runner.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <jansson.h>

#include <regex>
#include <string>
#include <vector>

namespace {

using testsupport::Bytes;
using testsupport::ProcessResult;
using testsupport::TempDir;

const char* const kProgram = HIDDFU_EXE;

std::string programName()
{
    std::string path(kProgram);
    size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string usage()
{
    const std::string name = programName();
    return "Usage:\n\n"
           "  " + name + " version\n"
           "  " + name + " devices idVendor idProduct\n"
           "  " + name + " update <deviceIdenifier> <sourceFirmwareFile>\n"
           "  " + name + " set <deviceIdenifier> name\n"
           "  " + name + " get <deviceIdenifier> name\n"
           "  " + name + " reset <deviceIdenifier>\n"
           "  " + name + " dfufile [filename [filename...]]\n"
           "\n";
}

ProcessResult run(const std::vector<std::string>& args, const std::string& workDir = std::string())
{
    return testsupport::runProcess(kProgram, args, workDir);
}

// The first line of a description carries the object's address, which
// differs from run to run; replace it with a fixed token.
std::string withoutAddresses(const std::string& text)
{
    static const std::regex address("Firmware object @ [^:]*: ");
    return std::regex_replace(text, address, "Firmware object @ ADDR: ");
}

TEST(CommandLine, NoArgumentsPrintsUsageAndSucceeds)
{
    ProcessResult r = run({});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, usage());
}

TEST(CommandLine, ArgumentErrors)
{
    struct Case {
        std::vector<std::string> args;
        const char* error;
    };
    const Case cases[] = {
        {{"VERSION"}, "Invalid action"},
        {{"Version"}, "Invalid action"},
        {{"flash", "x"}, "Invalid action"},
        {{""}, "Invalid action"},
        {{"devices"}, "Too few arguments"},
        {{"devices", "1"}, "Too few arguments"},
        {{"devices", "1", "2", "3"}, "Too few arguments"},
        {{"devices", "abc", "1"}, "Invalid idVendor"},
        {{"devices", "abc", "xyz"}, "Invalid idVendor"},
        {{"devices", "1", "xyz"}, "Invalid idProduct"},
        {{"update"}, "Invalid argument count"},
        {{"update", "1234-5678-0000"}, "Invalid argument count"},
        {{"update", "1234-5678-0000", "fw.dfu", "extra"}, "Invalid argument count"},
        {{"set"}, "Invalid argument count"},
        {{"get"}, "Invalid argument count"},
        {{"reset"}, "Invalid argument count"},
        {{"reset", "1234-5678-0000", "extra"}, "Invalid argument count"},
    };
    for (const Case& c : cases) {
        ProcessResult r = run(c.args);
        std::string label = c.args.empty() ? "" : c.args[0];
        EXPECT_EQ(r.exitCode, testsupport::failureExitCode()) << label;
        EXPECT_EQ(r.out, "") << label;
        EXPECT_EQ(r.err, std::string("Error: ") + c.error + "\n\n" + usage()) << label;
    }
}

// Device actions with valid arguments get past the argument checks; until
// device support is built they say so on one line and fail.
TEST(CommandLine, DeviceActionsWithValidArguments)
{
    const std::vector<std::vector<std::string>> cases = {
        {"version"},
        {"version", "extra", "words"},
        {"devices", "0x1234", "0x5678"},
        {"update", "1234-5678-0000", "fw.dfu"},
        {"reset", "1234-5678-0000"},
    };
    for (const auto& args : cases) {
        ProcessResult r = run(args);
        EXPECT_EQ(r.exitCode, testsupport::failureExitCode()) << args[0];
        EXPECT_EQ(r.out, "") << args[0];
        EXPECT_NE(r.err.find("device support is not built"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line expected: " << r.err;
    }
}

// set and get with no such device attached: one control document whose
// entry names the request (null when none was given) and says the device
// could not be reached; the run fails.
TEST(CommandLine, ControlRequestsWithoutDevice)
{
    struct Case {
        std::vector<std::string> args;
        const char* request;  // null: JSON null expected
    };
    const Case cases[] = {
        {{"set", "1234-5678-0000", "name"}, "name"},
        {{"get", "1234-5678-0000", "name", "ignored", "words"}, "name"},
        {{"set", "1234-5678-0000"}, nullptr},
        {{"get", "1234-5678-0003"}, nullptr},
        {{"get", "1ffff-5678-0000", "version"}, "version"},
    };
    for (const Case& c : cases) {
        const std::string label = c.args[0] + " " + c.args[1];
        ProcessResult r = run(c.args);
        EXPECT_EQ(r.exitCode, testsupport::failureExitCode()) << label;
        EXPECT_EQ(r.err, "") << label;
        ASSERT_FALSE(r.out.empty()) << label;
        EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "one line expected: " << r.out;

        json_error_t error;
        json_t* document = json_loads(r.out.c_str(), 0, &error);
        ASSERT_NE(document, nullptr) << error.text << " in: " << r.out;
        json_t* entries = json_object_get(document, "control");
        EXPECT_EQ(json_object_size(document), 1u) << label;
        EXPECT_EQ(json_array_size(entries), 1u) << label;
        json_t* entry = json_array_get(entries, 0);
        json_t* request = json_object_get(entry, "request");
        if (c.request != nullptr) {
            EXPECT_STREQ(json_string_value(request), c.request) << label;
        } else {
            EXPECT_TRUE(json_is_null(request)) << label;
        }
        EXPECT_TRUE(json_is_null(json_object_get(entry, "response"))) << label;
        EXPECT_STREQ(json_string_value(json_object_get(entry, "error")),
                     "Unable to connect to device")
            << label;
        json_decref(document);
    }
}

// An identifier whose vendor or product id reads as 0 gets one plain text on
// standard output, without a line end, and no document.
TEST(CommandLine, ControlRequestsWithInvalidIdentifier)
{
    struct Case {
        std::vector<std::string> args;
        const char* out;
    };
    const Case cases[] = {
        {{"set", "0-5678-0", "x"}, "Invalid vid or pid 0 0x5678"},
        {{"get", "1234-0-0", "version"}, "Invalid vid or pid 0x1234 0"},
        {{"get", "zzzz"}, "Invalid vid or pid 0 0"},
    };
    for (const Case& c : cases) {
        ProcessResult r = run(c.args);
        EXPECT_EQ(r.exitCode, testsupport::failureExitCode()) << c.args[1];
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, "") << c.args[1];
    }
}

class DfuFileCommand : public ::testing::Test {
protected:
    void SetUp() override
    {
        testsupport::DfuContents small;
        small.idVendor = 0xABCD;
        small.idProduct = 0x0102;
        small.bcdDevice = 0x0203;
        small.aux = {0x41, 0x42, 0x00};
        const std::string hello = "Hello, DFU world!\r\n";
        small.payload.assign(hello.begin(), hello.end());
        for (uint8_t b = 0; b <= 0x14; ++b)
            small.payload.push_back(b);
        smallFile = testsupport::buildDfuFile(small);
        testsupport::writeFile(dir.path("small.dfu"), smallFile);
    }

    TempDir dir;
    Bytes smallFile;
};

const char kSmallDescription[] =
    "Firmware object @ ADDR: %s\n"
    "  VendorID:        0xabcd\n"
    "  ProductID:       0x0102\n"
    "  DeviceRelease:   0x0203\n"
    "  Aux data size:   3 bytes\n"
    "    AuxData:  41 42 00 : AB.\n"
    "  Firmware size:   40 bytes\n"
    "    Firmware:  48 65 6c 6c 6f 2c 20 44 46 55 20 77 6f 72 6c 64 21 0d 0a 00 01 02 03 04 05 06 "
    "07 08 09 0a 0b 0c : Hello, DFU world!...............\n"
    ":  0d 0e 0f 10 11 12 13 14 : ........\n";

std::string smallDescription(const std::string& name)
{
    char text[1024];
    std::snprintf(text, sizeof text, kSmallDescription, name.c_str());
    return text;
}

TEST_F(DfuFileCommand, NoFilesPrintsNothing)
{
    ProcessResult r = run({"dfufile"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

TEST_F(DfuFileCommand, DescribesValidFileExactly)
{
    ProcessResult r = run({"dfufile", "small.dfu"}, dir.dir());
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(withoutAddresses(r.out), smallDescription("small.dfu"));
}

TEST_F(DfuFileCommand, BadFilesAreReportedAndSkipped)
{
    Bytes corrupt = smallFile;
    corrupt[5] ^= 0x01;
    testsupport::writeFile(dir.path("corrupt.dfu"), corrupt);
    testsupport::writeFile(dir.path("short.dfu"), Bytes(15, 0));

    ProcessResult r = run({"dfufile", "small.dfu", "missing.dfu", "corrupt.dfu", ".", "short.dfu",
                           "*.nomatch", "small.dfu"},
                          dir.dir());
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(withoutAddresses(r.out), smallDescription("small.dfu") + smallDescription("small.dfu"));
    EXPECT_EQ(r.err,
              "Invalid DFU file missing.dfu\n"
              "Invalid DFU file corrupt.dfu\n"
              "Invalid DFU file .\n"
              "Invalid DFU file short.dfu\n"
              "Invalid DFU file *.nomatch\n");
}

TEST_F(DfuFileCommand, EachDescriptionIsOfItsOwnImage)
{
    // A second, different file after the first must not inherit anything.
    testsupport::DfuContents plain;
    plain.payload = testsupport::countingBytes(16);
    testsupport::writeFile(dir.path("plain.dfu"), testsupport::buildDfuFile(plain));

    ProcessResult r = run({"dfufile", "small.dfu", "plain.dfu"}, dir.dir());
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(withoutAddresses(r.out),
              smallDescription("small.dfu") +
                  "Firmware object @ ADDR: plain.dfu\n"
                  "  VendorID:        0x1234\n"
                  "  ProductID:       0x5678\n"
                  "  DeviceRelease:   0x0100\n"
                  "  Aux data size:   0 bytes\n"
                  "  Firmware size:   16 bytes\n"
                  "    Firmware:  00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f : ................\n");
}

} // namespace
