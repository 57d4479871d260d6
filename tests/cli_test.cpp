// The shipped program run as a process: what goes to standard output, what
// to standard error, and the exit status.
#include "process_runner.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <jansson.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
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

// With HIDDFU_TEST_STDOUT_DIR set (CTest sets it), every standard output
// captured here is also appended to a file named after the running test in
// that folder, where a later test checks each JSON line in it against the
// schemas in docs/schema (tests/json/validate_lines.py).
void keepStdout(const std::string& out)
{
    const char* dir = std::getenv("HIDDFU_TEST_STDOUT_DIR");
    if (dir == nullptr || *dir == '\0' || out.empty())
        return;
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::filesystem::create_directories(dir);
    const std::string name = std::string(test->test_suite_name()) + "." + test->name() + ".out";
    std::ofstream log(std::filesystem::path(dir) / name, std::ios::binary | std::ios::app);
    // reset's texts end without a line end: the next output starts a line.
    log << out << (out.back() == '\n' ? "" : "\n");
    EXPECT_TRUE(log.good()) << "cannot keep the output in " << dir;
}

ProcessResult run(const std::vector<std::string>& args, const std::string& workDir = std::string(),
                  bool errorIntoOutput = false)
{
    ProcessResult result = testsupport::runProcess(kProgram, args, workDir, errorIntoOutput);
    keepStdout(result.out);
    return result;
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

// Parses one line of standard output; the document must be the whole line.
json_t* parseOneLine(const std::string& out)
{
    EXPECT_FALSE(out.empty());
    EXPECT_EQ(out.find('\n'), out.size() - 1) << "one line expected: " << out;
    json_error_t error;
    json_t* document = json_loads(out.c_str(), 0, &error);
    EXPECT_NE(document, nullptr) << error.text << " in: " << out;
    return document;
}

// version talks to no device: the tool's version and the upgrade library's,
// whatever words follow.
TEST(CommandLine, VersionPrintsToolAndLibraryVersions)
{
    const std::vector<std::vector<std::string>> cases = {
        {"version"},
        {"version", "extra", "words"},
    };
    for (const auto& args : cases) {
        ProcessResult r = run(args);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.err, "");
        json_t* document = parseOneLine(r.out);
        ASSERT_NE(document, nullptr);
        json_t* version = json_object_get(document, "version");
        EXPECT_EQ(json_object_size(document), 1u);
        EXPECT_EQ(json_object_size(version), 4u);
        EXPECT_EQ(json_integer_value(json_object_get(version, "major")), 1);
        EXPECT_EQ(json_integer_value(json_object_get(version, "minor")), 0);
        EXPECT_STREQ(json_string_value(json_object_get(version, "qualifier")), "win32beta1");
        const char* library = json_string_value(json_object_get(version, "hid_dfu_dll_version"));
        ASSERT_NE(library, nullptr);
        const std::string expected = HIDDFU_LIBRARY_VERSION_TEXT;
        if (!expected.empty()) {
            EXPECT_EQ(library, expected);
        } else {
            EXPECT_TRUE(std::regex_match(library, std::regex("[0-9]+\\.[0-9]+\\.[0-9]+ \\([0-9]+\\)")))
                << library;
        }
        EXPECT_STRNE(library, "0.0.0 (0)") << "the library filled in no version";
        json_decref(document);
    }
}

// The build and test machines have no device with these ids attached: the
// list is empty, and the run still succeeds.
TEST(CommandLine, DevicesWithoutDeviceListsNone)
{
    ProcessResult r = run({"devices", "0x1234", "0x5678"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "{\"devices\": []}\n");
}

// reset without a device says so and fails; an invalid identifier fails with
// its own text. No line ends in either.
TEST(CommandLine, ResetTexts)
{
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        const char* out;
    };
    const Case cases[] = {
        {{"reset", "1234-5678-0000"}, testsupport::failureExitCode(), "Unable to connect to device"},
        {{"reset", "0-26-0"}, testsupport::failureExitCode(), "Invalid vid or pid 0 0x26"},
    };
    for (const Case& c : cases) {
        ProcessResult r = run(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.args[1];
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, "") << c.args[1];
    }
}

// update failures before the upgrade starts: one transfer line with state
// -1, the failure's text, progress 0 and the identifier as given.
TEST(CommandLine, UpdateFailuresBeforeTheUpgrade)
{
    TempDir dir;
    testsupport::DfuContents contents;
    contents.payload = testsupport::countingBytes(64);
    const Bytes valid = testsupport::buildDfuFile(contents);  // 1234:5678
    testsupport::writeFile(dir.path("fw.dfu"), valid);
    Bytes corrupt = valid;
    corrupt.back() ^= 0x01;  // the CRC no longer matches
    testsupport::writeFile(dir.path("corrupt.dfu"), corrupt);

    struct Case {
        const char* identifier;
        const char* file;
        const char* error;
    };
    const Case cases[] = {
        {"0-5678-0000", "fw.dfu", "Invalid device identifier"},
        {"1234-5678-0000", "missing.dfu", "Unable to load firmware file"},
        {"1234-5678-0000", "corrupt.dfu", "Unable to load firmware file"},
        {"1234-5679-0000", "fw.dfu", "Firmware file not valid for the target device"},
        {"1234-5678-0000", "fw.dfu", "Unable to connect to device"},
    };
    for (const Case& c : cases) {
        const std::string label = std::string(c.identifier) + " " + c.file;
        ProcessResult r = run({"update", c.identifier, c.file}, dir.dir());
        EXPECT_EQ(r.exitCode, testsupport::failureExitCode()) << label;
        EXPECT_EQ(r.err, "") << label;
        json_t* document = parseOneLine(r.out);
        ASSERT_NE(document, nullptr) << label;
        json_t* status = json_object_get(document, "transfer");
        EXPECT_EQ(json_object_size(document), 1u) << label;
        EXPECT_EQ(json_object_size(status), 4u) << label;
        EXPECT_STREQ(json_string_value(json_object_get(status, "identifier")), c.identifier);
        EXPECT_EQ(json_integer_value(json_object_get(status, "state")), -1) << label;
        EXPECT_STREQ(json_string_value(json_object_get(status, "error")), c.error) << label;
        EXPECT_TRUE(json_is_real(json_object_get(status, "progress"))) << label;
        EXPECT_EQ(json_real_value(json_object_get(status, "progress")), 0.0) << label;
        json_decref(document);
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

// File names, identifiers and requests outside ASCII, given in UTF-8: the
// file opens, and each text reaches the output as the same UTF-8 bytes (the
// JSON documents write non-ASCII characters unescaped). On Windows this
// needs the program's UTF-8 code page; a name outside the system's code page
// would otherwise reach it as "fw-??.dfu".
TEST(CommandLine, NonAsciiNamesAndTexts)
{
    TempDir dir;
    const std::string file = u8"fw-日本.dfu";
    testsupport::DfuContents contents;
    contents.payload = testsupport::countingBytes(32);  // for 1234:5678
    // Not dir.path(): MinGW's std::filesystem reads narrow names in the C
    // locale, not as UTF-8.
    testsupport::writeFile(dir.dir() + "/" + file, testsupport::buildDfuFile(contents));

    ProcessResult described = run({"dfufile", file}, dir.dir());
    EXPECT_EQ(described.exitCode, 0);
    EXPECT_EQ(described.err, "");
    const std::string header = "Firmware object @ ADDR: " + file + "\n  VendorID:        0x1234\n";
    EXPECT_EQ(withoutAddresses(described.out).compare(0, header.size(), header), 0) << described.out;

    struct Case {
        std::vector<std::string> args;
        const char* documentKey;
        const char* member;  // in the transfer object or the first control entry
        std::string expected;
        const char* error;
    };
    const std::string identifier = u8"1234-5678-日本";  // the index field is ignored
    const Case cases[] = {
        // The file loads and checks out: the update gets as far as looking
        // for the device (none is attached).
        {{"update", identifier, file}, "transfer", "identifier", identifier,
         "Unable to connect to device"},
        {{"get", "1234-5678-0000", u8"名前"}, "control", "request", u8"名前",
         "Unable to connect to device"},
    };
    for (const Case& c : cases) {
        ProcessResult r = run(c.args, dir.dir());
        EXPECT_EQ(r.exitCode, testsupport::failureExitCode()) << c.args[0];
        EXPECT_EQ(r.err, "") << c.args[0];
        EXPECT_NE(r.out.find(c.expected), std::string::npos) << "unescaped UTF-8 expected: " << r.out;
        json_t* document = parseOneLine(r.out);
        ASSERT_NE(document, nullptr) << c.args[0];
        json_t* part = json_object_get(document, c.documentKey);
        json_t* object = json_is_array(part) ? json_array_get(part, 0) : part;
        EXPECT_STREQ(json_string_value(json_object_get(object, c.member)), c.expected.c_str());
        EXPECT_STREQ(json_string_value(json_object_get(object, "error")), c.error) << r.out;
        json_decref(document);
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

// Both streams into one file, as a log taken with 2>&1 gets them: each error
// line sits between the descriptions, in the order the files were named.
TEST_F(DfuFileCommand, ErrorLinesKeepTheirPlaceInACombinedLog)
{
    ProcessResult r = run({"dfufile", "small.dfu", "missing.dfu", "small.dfu", "gone.dfu"}, dir.dir(), true);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(withoutAddresses(r.out), smallDescription("small.dfu") + "Invalid DFU file missing.dfu\n" +
                                           smallDescription("small.dfu") + "Invalid DFU file gone.dfu\n");
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
