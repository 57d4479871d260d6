// The JSON documents: every written line is parsed back with Jansson and its
// members are looked up by name (member order is not fixed).
#include "kr_mvcommand.h"

#include "scripted_library.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <jansson.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>

namespace {

using testsupport::captureOutput;

struct JsonDeleter {
    void operator()(json_t* value) const { json_decref(value); }
};
using JsonPtr = std::unique_ptr<json_t, JsonDeleter>;

std::string writeLine(const kr::JSONRoot& document)
{
    return captureOutput([&](FILE* stream) { document.write(stream); });
}

// Checks the line shape (one line, ends in a newline) and parses it.
JsonPtr parseLine(const std::string& line)
{
    EXPECT_FALSE(line.empty());
    EXPECT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find('\n'), line.size() - 1) << "document spans more than one line";
    json_error_t error;
    JsonPtr parsed(json_loads(line.c_str(), 0, &error));
    EXPECT_TRUE(parsed) << error.text << " in: " << line;
    return parsed;
}

JsonPtr parse(const kr::JSONRoot& document)
{
    return parseLine(writeLine(document));
}

std::string stringMember(json_t* object, const char* key)
{
    json_t* value = json_object_get(object, key);
    EXPECT_TRUE(json_is_string(value)) << key;
    return value ? json_string_value(value) : "";
}

bool isNullMember(json_t* object, const char* key)
{
    return json_is_null(json_object_get(object, key));
}

json_t* transferStatus(json_t* document)
{
    EXPECT_EQ(json_object_size(document), 1u);
    json_t* status = json_object_get(document, "transfer");
    EXPECT_TRUE(json_is_object(status));
    return status;
}

TEST(JsonVersion, ReportsToolAndLibraryVersions)
{
    scripted::setVersion({true, 2, 1, 0, 12});
    int callsBefore = scripted::callCount(scripted::Function::GetVersion);
    kr::JSONVersion document;
    EXPECT_EQ(scripted::callCount(scripted::Function::GetVersion), callsBefore + 1);

    JsonPtr parsed = parse(document);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(json_object_size(parsed.get()), 1u);
    json_t* version = json_object_get(parsed.get(), "version");
    ASSERT_TRUE(json_is_object(version));
    EXPECT_EQ(json_object_size(version), 4u);
    EXPECT_TRUE(json_is_integer(json_object_get(version, "major")));
    EXPECT_EQ(json_integer_value(json_object_get(version, "major")), 1);
    EXPECT_TRUE(json_is_integer(json_object_get(version, "minor")));
    EXPECT_EQ(json_integer_value(json_object_get(version, "minor")), 0);
    EXPECT_EQ(stringMember(version, "qualifier"), "win32beta1");
    EXPECT_EQ(stringMember(version, "hid_dfu_dll_version"), "2.1.0 (12)");
}

TEST(JsonVersion, LibraryVersionFormatting)
{
    struct Case {
        scripted::Version reported;
        const char* text;
    };
    const Case cases[] = {
        {{false, 9, 9, 9, 9}, "0.0.0 (0)"},  // library leaves the outputs unset
        {{true, 65535, 65535, 65535, 65535}, "65535.65535.65535 (65535)"},
        {{true, 1, 0, 3, 0}, "1.0.3 (0)"},
    };
    for (const Case& c : cases) {
        scripted::setVersion(c.reported);
        kr::JSONVersion document;
        JsonPtr parsed = parse(document);
        ASSERT_TRUE(parsed);
        EXPECT_EQ(stringMember(json_object_get(parsed.get(), "version"), "hid_dfu_dll_version"),
                  c.text);
    }
}

TEST(JsonDevices, EntriesCarryIdentifierAndIds)
{
    struct Case {
        uint16_t count, vid, pid;
        const char* identifier;
    };
    const Case cases[] = {
        {0, 0x1234, 0x5678, nullptr},
        {3, 0x1234, 0x0001, "1234-0001-0000"},
        {1, 0xABCD, 0xEF01, "abcd-ef01-0000"},
        {2, 0, 0xFFFF, "0000-ffff-0000"},
    };
    for (const Case& c : cases) {
        kr::JSONDevices document;
        document.updateDeviceList(c.count, c.vid, c.pid);
        std::string line = writeLine(document);
        if (c.count == 0) {
            EXPECT_EQ(line, "{\"devices\": []}\n");
        }
        JsonPtr parsed = parseLine(line);
        ASSERT_TRUE(parsed);
        EXPECT_EQ(json_object_size(parsed.get()), 1u);
        json_t* devices = json_object_get(parsed.get(), "devices");
        ASSERT_TRUE(json_is_array(devices));
        ASSERT_EQ(json_array_size(devices), c.count);
        for (size_t i = 0; i < json_array_size(devices); ++i) {
            json_t* entry = json_array_get(devices, i);
            EXPECT_EQ(json_object_size(entry), 3u);
            EXPECT_EQ(stringMember(entry, "identifier"), c.identifier);
            EXPECT_EQ(json_integer_value(json_object_get(entry, "idVendor")), c.vid);
            EXPECT_EQ(json_integer_value(json_object_get(entry, "idProduct")), c.pid);
        }
    }
}

TEST(JsonDevices, SecondCallAppends)
{
    kr::JSONDevices document;
    document.updateDeviceList(1, 1, 2);
    document.updateDeviceList(2, 3, 4);
    JsonPtr parsed = parse(document);
    ASSERT_TRUE(parsed);
    json_t* devices = json_object_get(parsed.get(), "devices");
    ASSERT_EQ(json_array_size(devices), 3u);
    EXPECT_EQ(stringMember(json_array_get(devices, 0), "identifier"), "0001-0002-0000");
    EXPECT_EQ(stringMember(json_array_get(devices, 2), "identifier"), "0003-0004-0000");
}

TEST(JsonControl, EntriesAndFailureFlag)
{
    struct Case {
        const char* request;
        const char* response;
        const char* error;
        bool failed;
    };
    const Case cases[] = {
        {nullptr, nullptr, nullptr, false},
        {"name", "", nullptr, false},
        {"version", "1.2.3", nullptr, false},
        {"x", nullptr, "", true},  // an empty error text still counts as an error
        {"x", nullptr, "Unable to send request", true},
    };
    for (const Case& c : cases) {
        kr::JSONControl document("control");
        EXPECT_FALSE(document.didFail());
        document.addEntry(c.request, c.response, c.error);
        EXPECT_EQ(document.didFail(), c.failed);

        JsonPtr parsed = parse(document);
        ASSERT_TRUE(parsed);
        json_t* entries = json_object_get(parsed.get(), "control");
        ASSERT_TRUE(json_is_array(entries));
        ASSERT_EQ(json_array_size(entries), 1u);
        json_t* entry = json_array_get(entries, 0);
        EXPECT_EQ(json_object_size(entry), 3u);
        const char* keys[] = {"request", "response", "error"};
        const char* texts[] = {c.request, c.response, c.error};
        for (int i = 0; i < 3; ++i) {
            if (texts[i] == nullptr) {
                EXPECT_TRUE(isNullMember(entry, keys[i])) << keys[i];
            } else {
                EXPECT_EQ(stringMember(entry, keys[i]), texts[i]);
            }
        }
    }
}

TEST(JsonControl, FailureIsSticky)
{
    kr::JSONControl document("control");
    document.addEntry("a", nullptr, "broken");
    document.addEntry("b", "ok", nullptr);
    EXPECT_TRUE(document.didFail());
    JsonPtr parsed = parse(document);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(json_array_size(json_object_get(parsed.get(), "control")), 2u);
}

// Bytes that are not UTF-8 become U+FFFD, one per maximal invalid
// subsequence; valid text (up to U+10FFFF, four bytes) is kept as it is; no
// member is lost, whichever text carries them.
TEST(JsonControl, InvalidUtf8IsReplacedAndNoMemberIsLost)
{
#define R "\xEF\xBF\xBD"
    struct Case {
        const char* text;
        const char* written;
    };
    const Case cases[] = {
        {"\xff\xfe\x41\xc3\xc0\xed\x80", R R "A" R R R},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf", nullptr},
        {"\xc3", R},
        {"\xe2\x82", R},              // a cut three-byte sequence: one
        {"\xf0\x9f\x98", R},          // a cut four-byte sequence: one
        {"\xc0\xaf", R R},             // overlong: the lead byte never starts one
        {"\xe0\x80\xaf", R R R},      // overlong three-byte form
        {"\xed\xa0\x80", R R R},      // a surrogate
        {"\xf4\x90\x80\x80", R R R R},  // above U+10FFFF
        {"\xf5\x80", R R},
        {"a\x80" "b\xbf", "a" R "b" R},
        {"\xe2\x82\x41", R "A"},
    };
#undef R
    for (const Case& c : cases) {
        const std::string expected = c.written != nullptr ? c.written : c.text;
        kr::JSONControl document("control");
        document.addEntry(c.text, c.text, c.text);
        EXPECT_TRUE(document.didFail());
        JsonPtr parsed = parse(document);
        ASSERT_TRUE(parsed) << c.text;
        json_t* entry = json_array_get(json_object_get(parsed.get(), "control"), 0);
        for (const char* member : {"request", "response", "error"})
            EXPECT_EQ(stringMember(entry, member), expected) << member << " of " << c.text;

        kr::JSONTransfer transfer(c.text, "transfer");
        transfer.setState(kr::JSONTransfer::kStateFail, c.text);
        parsed = parse(transfer);
        ASSERT_TRUE(parsed) << c.text;
        EXPECT_EQ(stringMember(transferStatus(parsed.get()), "identifier"), expected) << c.text;
        EXPECT_EQ(stringMember(transferStatus(parsed.get()), "error"), expected) << c.text;
    }
}

TEST(JsonControl, SpecialCharactersAreEscapedOnOneLine)
{
    kr::JSONControl document("control");
    const char* request = "say \"hi\"\n\\ \t\x01 caf\xc3\xa9/";
    document.addEntry(request, nullptr, nullptr);
    std::string line = writeLine(document);
    EXPECT_NE(line.find("\"say \\\"hi\\\"\\n\\\\ \\t\\u0001 caf\xc3\xa9/\""), std::string::npos)
        << line;
    JsonPtr parsed = parseLine(line);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(stringMember(json_array_get(json_object_get(parsed.get(), "control"), 0), "request"),
              request);
}

TEST(JsonTransfer, NewDocument)
{
    kr::JSONTransfer document("", "transfer");
    EXPECT_FALSE(document.didFail());
    std::string line = writeLine(document);
    EXPECT_NE(line.find("\"progress\": 0.0"), std::string::npos) << line;
    JsonPtr parsed = parseLine(line);
    ASSERT_TRUE(parsed);
    json_t* status = transferStatus(parsed.get());
    EXPECT_EQ(json_object_size(status), 4u);
    EXPECT_EQ(stringMember(status, "identifier"), "");
    EXPECT_TRUE(json_is_real(json_object_get(status, "progress")));
    EXPECT_EQ(json_real_value(json_object_get(status, "progress")), 0.0);
    EXPECT_TRUE(json_is_integer(json_object_get(status, "state")));
    EXPECT_EQ(json_integer_value(json_object_get(status, "state")), kr::JSONTransfer::kStateInitialise);
    EXPECT_TRUE(isNullMember(status, "error"));
}

TEST(JsonTransfer, StateAndErrorRules)
{
    using T = kr::JSONTransfer;
    struct Step {
        T::State state;
        const char* errorText;
        int expectedState;
        const char* expectedError;  // nullptr: JSON null
        bool expectedDidFail;
    };
    // One document walked through the steps in order: the failure flag
    // never returns to false.
    const Step steps[] = {
        {T::kStateDownload, "ignored", 3, nullptr, false},
        {T::kStateFail, nullptr, -1, "Unknown error", true},
        {T::kStateSuccess, nullptr, 0, nullptr, true},
        {T::kStateFail, "Upgrade failed (5)", -1, "Upgrade failed (5)", true},
        {T::kStateVerify, "ignored", 4, nullptr, true},
    };
    T document("1234-5678-0000", "transfer");
    for (const Step& step : steps) {
        document.setState(step.state, step.errorText);
        EXPECT_EQ(document.didFail(), step.expectedDidFail);
        JsonPtr parsed = parse(document);
        ASSERT_TRUE(parsed);
        json_t* status = transferStatus(parsed.get());
        EXPECT_EQ(json_integer_value(json_object_get(status, "state")), step.expectedState);
        if (step.expectedError == nullptr) {
            EXPECT_TRUE(isNullMember(status, "error"));
        } else {
            EXPECT_EQ(stringMember(status, "error"), step.expectedError);
        }
        EXPECT_EQ(stringMember(status, "identifier"), "1234-5678-0000");
    }
}

TEST(JsonTransfer, ProgressIsWrittenAsReal)
{
    struct Case {
        double progress;
        const char* text;
    };
    const Case cases[] = {{0, "0.0"}, {37, "37.0"}, {100, "100.0"}, {12.5, "12.5"}};
    for (const Case& c : cases) {
        kr::JSONTransfer document("id", "transfer");
        document.setProgress(c.progress);
        std::string line = writeLine(document);
        EXPECT_NE(line.find(std::string("\"progress\": ") + c.text), std::string::npos) << line;
    }
}

TEST(JsonTransfer, UnstorableValuesKeepEarlierOnes)
{
    kr::JSONTransfer document("1234-5678-0000", "transfer");
    document.setProgress(42);
    document.setProgress(std::numeric_limits<double>::quiet_NaN());
    document.setProgress(std::numeric_limits<double>::infinity());
    document.setIdentifier(nullptr);
    JsonPtr parsed = parse(document);
    ASSERT_TRUE(parsed);
    json_t* status = transferStatus(parsed.get());
    EXPECT_EQ(json_real_value(json_object_get(status, "progress")), 42.0);
    EXPECT_EQ(stringMember(status, "identifier"), "1234-5678-0000");
}

TEST(JsonTransfer, EveryWriteIsACompleteLine)
{
    kr::JSONTransfer document("1234-5678-0000", "transfer");
    std::string text = captureOutput([&](FILE* stream) {
        document.setState(kr::JSONTransfer::kStateDownload, nullptr);
        document.setProgress(10);
        document.write(stream);
        document.setProgress(60);
        document.write(stream);
        document.setProgress(100);
        document.setState(kr::JSONTransfer::kStateSuccess, nullptr);
        document.write(stream);
    });
    const double expected[] = {10, 60, 100};
    const int states[] = {3, 3, 0};
    size_t start = 0;
    for (int i = 0; i < 3; ++i) {
        size_t end = text.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        JsonPtr parsed = parseLine(text.substr(start, end - start + 1));
        ASSERT_TRUE(parsed);
        json_t* status = transferStatus(parsed.get());
        EXPECT_EQ(json_real_value(json_object_get(status, "progress")), expected[i]);
        EXPECT_EQ(json_integer_value(json_object_get(status, "state")), states[i]);
        start = end + 1;
    }
    EXPECT_EQ(start, text.size());
}

TEST(JsonTransfer, ProcessWideDocumentStartsEmpty)
{
    JsonPtr parsed = parse(kr::transferState);
    ASSERT_TRUE(parsed);
    json_t* status = transferStatus(parsed.get());
    EXPECT_EQ(stringMember(status, "identifier"), "");
    EXPECT_EQ(json_integer_value(json_object_get(status, "state")), 1);
}

// Allocation failure of a document's own container stops the program with a
// diagnostic naming the member. Jansson's allocator is swapped for one that
// fails from the n-th allocation on, inside the death-test child only.
int g_allocationsLeft = 0;
void* failingMalloc(size_t size)
{
    if (g_allocationsLeft-- <= 0)
        return nullptr;
    return std::malloc(size);
}

// How many allocations Jansson needs for one empty object.
int allocationsPerObject()
{
    g_allocationsLeft = 1000;
    json_set_alloc_funcs(failingMalloc, std::free);
    json_t* probe = json_object();
    json_set_alloc_funcs(std::malloc, std::free);
    json_decref(probe);
    return 1000 - g_allocationsLeft;
}

// exit(-1) shows as 255 where only the low 8 bits are kept, as -1 elsewhere.
bool exitedWithMinusOne(int status)
{
    return ::testing::ExitedWithCode(255)(status) || ::testing::ExitedWithCode(-1)(status);
}

template <typename Build>
void expectOutOfMemoryDeath(int allowedAllocations, Build build, const char* member)
{
    EXPECT_EXIT(
        {
            g_allocationsLeft = allowedAllocations;
            json_set_alloc_funcs(failingMalloc, std::free);
            build();
            std::exit(0);
        },
        exitedWithMinusOne, member);
}

TEST(JsonDocumentsDeathTest, MissingContainerStopsTheProgram)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const int root = allocationsPerObject();
    ASSERT_GT(root, 0);
    expectOutOfMemoryDeath(0, [] { kr::JSONDevices document; }, "m_root");
    expectOutOfMemoryDeath(root, [] { kr::JSONDevices document; }, "m_deviceArray");
    expectOutOfMemoryDeath(root, [] { kr::JSONControl document("control"); }, "m_jsonStatus");
    expectOutOfMemoryDeath(root, [] { kr::JSONTransfer document("", "transfer"); }, "m_jsonStatus");
    expectOutOfMemoryDeath(root, [] { kr::JSONVersion document; }, "version");
}

TEST(JsonDocuments, LaterAllocationFailuresLeaveMembersOut)
{
    // Enough memory for the containers only: the entry objects cannot be
    // made, so nothing is appended, and nothing crashes.
    kr::JSONDevices document;
    g_allocationsLeft = 0;
    json_set_alloc_funcs(failingMalloc, std::free);
    document.updateDeviceList(2, 1, 2);
    json_set_alloc_funcs(std::malloc, std::free);
    JsonPtr parsed = parse(document);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(json_array_size(json_object_get(parsed.get(), "devices")), 0u);
}

} // namespace
