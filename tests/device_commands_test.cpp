// version, devices and reset against the scripted upgrade library: their
// exact output and the library calls they make, in order.
#include "kr_mvcommand.h"

#include "scripted_library.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <jansson.h>

#include <string>
#include <vector>

namespace {

using scripted::Function;
using testsupport::captureOutput;

std::vector<Function> fns(std::initializer_list<Function> list)
{
    return std::vector<Function>(list);
}

std::string functionNames(const std::vector<Function>& functions)
{
    std::string text;
    for (Function f : functions)
        text += std::string(scripted::name(f)) + " ";
    return text;
}

#define EXPECT_CALLS(expected)                                                            \
    EXPECT_EQ(functionNames(scripted::functions()), functionNames(expected))

TEST(VersionCommand, WritesTheVersionDocumentWithTheLibrarysVersion)
{
    scripted::Script script;
    script.version = {true, 3, 14, 1, 592};
    scripted::reset(script);
    bool ok = false;
    const std::string out = captureOutput([&](FILE* stream) { ok = kr::mv_CommandVersion(stream); });
    EXPECT_TRUE(ok);
    EXPECT_CALLS(fns({Function::GetVersion}));

    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.find('\n'), out.size() - 1) << out;
    json_error_t error;
    json_t* document = json_loads(out.c_str(), 0, &error);
    ASSERT_NE(document, nullptr) << error.text;
    json_t* version = json_object_get(document, "version");
    EXPECT_EQ(json_object_size(document), 1u);
    EXPECT_EQ(json_object_size(version), 4u);
    EXPECT_EQ(json_integer_value(json_object_get(version, "major")), 1);
    EXPECT_EQ(json_integer_value(json_object_get(version, "minor")), 0);
    EXPECT_STREQ(json_string_value(json_object_get(version, "qualifier")), "win32beta1");
    EXPECT_STREQ(json_string_value(json_object_get(version, "hid_dfu_dll_version")),
                 "3.14.1 (592)");
    json_decref(document);
}

// Connect with the ids and two zeros, disconnect at once whatever the
// count, then one entry per device counted.
TEST(DevicesCommand, ListsOneEntryPerDeviceCounted)
{
    struct Case {
        uint16_t count;
        uint16_t vid, pid;
        const char* line;
    };
    const Case cases[] = {
        {0, 0x1234, 0x5678, "{\"devices\": []}\n"},
        {1, 0x1234, 0x5678,
         "{\"devices\": [{\"identifier\": \"1234-5678-0000\", \"idVendor\": 4660, "
         "\"idProduct\": 22136}]}\n"},
        {2, 0xabcd, 0x0001,
         "{\"devices\": [{\"identifier\": \"abcd-0001-0000\", \"idVendor\": 43981, "
         "\"idProduct\": 1}, {\"identifier\": \"abcd-0001-0000\", \"idVendor\": 43981, "
         "\"idProduct\": 1}]}\n"},
    };
    for (const Case& c : cases) {
        scripted::Script script;
        script.connectCounts = {c.count};
        scripted::reset(script);
        bool ok = false;
        const std::string out =
            captureOutput([&](FILE* stream) { ok = kr::mv_CommandDevices(c.vid, c.pid, stream); });
        EXPECT_TRUE(ok) << c.count;
        EXPECT_CALLS(fns({Function::Connect, Function::Disconnect})) << c.count;
        const std::vector<scripted::Call> calls = scripted::calls();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls[0].idVendor, c.vid);
        EXPECT_EQ(calls[0].idProduct, c.pid);
        EXPECT_EQ(calls[0].usagePage, 0);
        EXPECT_EQ(calls[0].usage, 0);

        if (c.count == 0) {
            EXPECT_EQ(out, c.line);
        }
        // Member order is not part of the format: compare as JSON.
        json_error_t error;
        json_t* parsed = json_loads(out.c_str(), 0, &error);
        ASSERT_NE(parsed, nullptr) << error.text;
        json_t* expected = json_loads(c.line, 0, &error);
        EXPECT_TRUE(json_equal(parsed, expected)) << out;
        EXPECT_EQ(out.find('\n'), out.size() - 1) << out;
        json_decref(parsed);
        json_decref(expected);
    }
}

TEST(ResetCommand, InvalidIdentifierPrintsItsFieldsAndCallsNothing)
{
    struct Case {
        const char* identifier;
        const char* out;
    };
    const Case cases[] = {
        {"0-26-0", "Invalid vid or pid 0 0x26"},
        {"zzzz", "Invalid vid or pid 0 0"},
        {"1234", "Invalid vid or pid 0x1234 0"},
        {"1234-0-5", "Invalid vid or pid 0x1234 0"},
        {"", "Invalid vid or pid 0 0"},
    };
    for (const Case& c : cases) {
        scripted::reset();
        bool ok = true;
        const std::string out =
            captureOutput([&](FILE* stream) { ok = kr::mv_CommandReset(c.identifier, stream); });
        EXPECT_FALSE(ok) << c.identifier;
        EXPECT_EQ(out, c.out);
        EXPECT_TRUE(scripted::functions().empty()) << c.identifier;
    }
}

// A valid identifier with a device connects, resets and disconnects; without
// a device nothing is reset, and the command says so and fails.
TEST(ResetCommand, ConnectsResetsAndDisconnects)
{
    struct Case {
        const char* identifier;
        uint16_t count;
        uint16_t vid, pid;  // as passed to the library
        const char* out;
    };
    const Case cases[] = {
        {"1234-5678-0000", 1, 0x1234, 0x5678, "Resetting device..."},
        {"1234-abcd", 2, 0x1234, 0xabcd, "Resetting device..."},
        {"1234-5678-0003", 0, 0x1234, 0x5678, "Unable to connect to device"},
        // A field above ffff names no device: the library is not even asked.
        {"1ffff-5678-0000", 1, 0, 0, "Unable to connect to device"},
        {"1234-15678-0000", 1, 0, 0, "Unable to connect to device"},
        {"-1-5678", 1, 0, 0, "Unable to connect to device"},
        {"0x12-0X34-zz", 1, 0x12, 0x34, "Resetting device..."},
    };
    for (const Case& c : cases) {
        scripted::Script script;
        script.connectCounts = {c.count};
        scripted::reset(script);
        bool ok = false;
        const std::string out =
            captureOutput([&](FILE* stream) { ok = kr::mv_CommandReset(c.identifier, stream); });
        const bool asksLibrary = c.vid != 0;
        const bool connected = c.count > 0 && asksLibrary;
        EXPECT_EQ(ok, connected) << c.identifier;
        EXPECT_EQ(out, c.out);
        if (!asksLibrary) {
            EXPECT_TRUE(scripted::functions().empty()) << c.identifier;
            continue;
        }
        if (connected) {
            EXPECT_CALLS(fns({Function::Connect, Function::ResetDevice, Function::Disconnect}))
                << c.identifier;
        } else {
            EXPECT_CALLS(fns({Function::Connect})) << c.identifier;
        }
        const std::vector<scripted::Call> calls = scripted::calls();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls[0].idVendor, c.vid) << c.identifier;
        EXPECT_EQ(calls[0].idProduct, c.pid) << c.identifier;
        EXPECT_EQ(calls[0].usagePage, 0);
        EXPECT_EQ(calls[0].usage, 0);
    }
}

} // namespace
