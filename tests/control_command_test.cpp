// The set and get command end to end against simulated devices: what the
// device receives, what the written document says (parsed back with
// Jansson), and the command's result.
#include "kr_mvcommand.h"

#include "sim_bus_fixture.h"
#include "test_support.h"
#include "vun_hid.h"

#include <gtest/gtest.h>
#include <jansson.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using sim::Report;

struct JsonDeleter {
    void operator()(json_t* value) const { json_decref(value); }
};
using JsonPtr = std::unique_ptr<json_t, JsonDeleter>;

struct CommandRun {
    bool result;
    std::string output;
    std::string errors;  // the command's error stream
};

CommandRun control(const char* identifier, const char* request, bool expectReply)
{
    CommandRun run{false, "", ""};
    run.errors = testsupport::captureOutput([&](FILE* err) {
        run.output = testsupport::captureOutput([&](FILE* out) {
            run.result = kr::mv_CommandControl(identifier, request, expectReply, out, err);
        });
    });
    return run;
}

// The one entry of a control document: absent members are nullptr, JSON
// null is "null", strings are themselves.
struct Entry {
    std::unique_ptr<std::string> request, response, error;
};

std::unique_ptr<std::string> member(json_t* entry, const char* key)
{
    json_t* value = json_object_get(entry, key);
    EXPECT_NE(value, nullptr) << "member " << key << " missing";
    if (json_is_string(value))
        return std::make_unique<std::string>(json_string_value(value));
    EXPECT_TRUE(json_is_null(value)) << key;
    return nullptr;
}

// Checks that `output` is exactly one control document line with one entry.
Entry parseEntry(const std::string& output)
{
    Entry e;
    EXPECT_FALSE(output.empty());
    if (output.empty())
        return e;
    EXPECT_EQ(output.find('\n'), output.size() - 1) << "one line expected: " << output;
    json_error_t error;
    JsonPtr document(json_loads(output.c_str(), 0, &error));
    EXPECT_TRUE(document) << error.text << " in: " << output;
    if (!document)
        return e;
    EXPECT_EQ(json_object_size(document.get()), 1u);
    json_t* entries = json_object_get(document.get(), "control");
    EXPECT_TRUE(json_is_array(entries));
    EXPECT_EQ(json_array_size(entries), 1u);
    json_t* entry = json_array_get(entries, 0);
    EXPECT_EQ(json_object_size(entry), 3u);
    e.request = member(entry, "request");
    e.response = member(entry, "response");
    e.error = member(entry, "error");
    return e;
}

std::string text(const std::unique_ptr<std::string>& value)
{
    return value ? *value : "<null>";
}

// Report id 1, the name, zeros up to `total` bytes.
Report request(const std::string& name, size_t total = 65)
{
    Report r(total, 0);
    r[0] = 1;
    std::copy(name.begin(), name.end(), r.begin() + 1);
    return r;
}

class ControlCommand : public testsupport::SimBusTest {
protected:
    // A device with ids 1234:5678 at `index` that knows only these requests.
    std::shared_ptr<sim::SimDevice> plugAnswering(unsigned index,
                                                  std::map<std::string, std::string> replies)
    {
        return plug(index, 0x1234, 0x5678,
                    [&](sim::DeviceConfig& c) { c.replies = std::move(replies); });
    }
};

TEST_F(ControlCommand, SetSendsTheNameAndRecordsAnEmptyResponse)
{
    auto device = plug(0);
    CommandRun run = control("1234-5678-0000", "reboot", false);
    EXPECT_TRUE(run.result);
    Entry e = parseEntry(run.output);
    EXPECT_EQ(text(e.request), "reboot");
    EXPECT_EQ(text(e.response), "");
    EXPECT_EQ(text(e.error), "<null>");
    ASSERT_EQ(device->receivedOutputs().size(), 1u);
    EXPECT_EQ(device->receivedOutputs()[0], request("reboot"));
    // set reads nothing, even from a device that answers.
    for (const simbus::IoRecord& r : simbus::ioLog())
        EXPECT_EQ(r.kind, simbus::IoRecord::Kind::kWrite);
}

TEST_F(ControlCommand, GetRecordsTheReplyText)
{
    auto device = plugAnswering(0, {{"version", "abc"}});
    CommandRun run = control("1234-5678-0000", "version", true);
    EXPECT_TRUE(run.result);
    Entry e = parseEntry(run.output);
    EXPECT_EQ(text(e.request), "version");
    EXPECT_EQ(text(e.response), "abc");
    EXPECT_EQ(text(e.error), "<null>");
    EXPECT_EQ(device->receivedOutputs(), std::vector<Report>{request("version")});
}

// A reached device that does not answer still succeeds with an empty reply;
// a request that cannot be sent at all is a failure.
TEST_F(ControlCommand, ReachedDevicesSucceedUnlessTheRequestIsNotSent)
{
    struct Case {
        const char* label;
        bool silent;
        simbus::Faults faults;
        const char* name;
        bool expectDelivered;
    };
    simbus::Faults writesFail, writesTimeOut, readsFail;
    writesFail.writesFail = true;
    writesTimeOut.writesTimeOut = true;
    readsFail.readsFail = true;
    const std::string longestName(64, 'n');  // with the id byte: the whole 65-byte report
    const std::string oneTooMany(65, 'n');
    const Case cases[] = {
        {"device that never answers", true, {}, "version", true},
        {"name the device does not know", false, {}, "unknown", true},
        {"name of 64 bytes fits the 65-byte report", true, {}, longestName.c_str(), true},
        {"name too long for the output report", false, {}, oneTooMany.c_str(), false},
        {"send fails", false, writesFail, "version", false},
        {"send times out", false, writesTimeOut, "version", false},
        {"receive fails", false, readsFail, "version", true},
    };
    for (const Case& c : cases) {
        for (bool expectReply : {false, true}) {
            simbus::reset();
            auto device = plug(0, 0x1234, 0x5678,
                               [&](sim::DeviceConfig& config) { config.silent = c.silent; });
            simbus::setFaults(0, c.faults);
            const std::string label = std::string(c.label) + (expectReply ? " (get)" : " (set)");

            CommandRun run = control("1234-5678-0000", c.name, expectReply);
            const bool sent = c.expectDelivered;
            EXPECT_EQ(run.result, sent) << label;
            Entry e = parseEntry(run.output);
            EXPECT_EQ(text(e.request), c.name) << label;
            EXPECT_EQ(text(e.response), sent ? "" : "<null>") << label;
            EXPECT_EQ(text(e.error), sent ? "<null>" : "Unable to send request") << label;
            EXPECT_EQ(device->receivedOutputs().size(), c.expectDelivered ? 1u : 0u) << label;
            EXPECT_EQ(simbus::openHandleCount(), 0u) << label;
        }
    }
}

TEST_F(ControlCommand, GetWithoutAnswerWaitsOneReceiveOf500Ms)
{
    plug(0, 0x1234, 0x5678, [](sim::DeviceConfig& c) { c.silent = true; });
    CommandRun run = control("1234-5678-0000", "version", true);
    EXPECT_TRUE(run.result);
    const auto log = simbus::ioLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].kind, simbus::IoRecord::Kind::kWrite);
    EXPECT_EQ(log[0].timeoutMs, 500);
    EXPECT_EQ(log[1].kind, simbus::IoRecord::Kind::kRead);
    EXPECT_EQ(log[1].timeoutMs, 500);
    EXPECT_EQ(simbus::virtualElapsedMs(), 500);
}

TEST_F(ControlCommand, NoMatchingDeviceFails)
{
    struct Case {
        const char* label;
        const char* identifier;
        bool plugged;
        uint16_t vid;
    };
    const Case cases[] = {
        {"nothing attached", "1234-5678-0000", false, 0},
        {"other vendor", "1234-5678-0000", true, 0x4321},
        {"vendor field above ffff", "1ffff-5678-0000", true, 0xFFFF},
        {"negative vendor field", "-1-5678-0000", true, 0xFFFF},
    };
    for (const Case& c : cases) {
        for (const char* name : {"version", static_cast<const char*>(nullptr)}) {
            for (bool expectReply : {false, true}) {
                simbus::reset();
                if (c.plugged)
                    plug(0, c.vid, 0x5678);
                CommandRun run = control(c.identifier, name, expectReply);
                EXPECT_FALSE(run.result) << c.label;
                Entry e = parseEntry(run.output);
                EXPECT_EQ(text(e.request), name ? name : "<null>") << c.label;
                EXPECT_EQ(text(e.response), "<null>") << c.label;
                EXPECT_EQ(text(e.error), "Unable to connect to device") << c.label;
                EXPECT_EQ(simbus::openHandleCount(), 0u) << c.label;
            }
        }
    }
}

// A device that is there but held by another run, or closed to this user:
// the document is the one for no device, and one line on the error stream
// says which it is. Nothing reaches the device.
TEST_F(ControlCommand, HeldOrClosedDeviceIsNamedOnTheErrorStream)
{
#ifdef _WIN32
    const std::string denied = "Device 1234:5678 (sim:0) is attached, but access to it was denied\n";
#else
    const std::string denied =
        "Device 1234:5678 is attached, but this user may not open sim:0; install the udev rule "
        "(README, \"Using it on Linux without root\")\n";
#endif
    struct Case {
        const char* label;
        bool held;
        bool closed;
        std::string errors;
    };
    const Case cases[] = {
        {"held by another run", true, false, "Device 1234:5678 (sim:0) is in use by another program\n"},
        {"closed to this user", false, true, denied},
        {"free", false, false, ""},
    };
    for (const Case& c : cases) {
        simbus::reset();
        auto device = plugAnswering(0, {{"version", "1.0"}});
        if (c.closed) {
            simbus::Faults faults;
            faults.openDenied = true;
            simbus::setFaults(0, faults);
        }
        const kr::HidHandle holder = c.held ? kr::hid_open(0x1234, 0x5678) : hidplatform::kInvalidHandle;
        const size_t before = simbus::ioLog().size();
        CommandRun run = control("1234-5678-0000", "version", true);
        const bool reached = !c.held && !c.closed;
        EXPECT_EQ(run.result, reached) << c.label;
        EXPECT_EQ(text(parseEntry(run.output).error), reached ? "<null>" : "Unable to connect to device")
            << c.label;
        EXPECT_EQ(run.errors, c.errors) << c.label;
        if (!reached) {
            EXPECT_EQ(simbus::ioLog().size(), before) << c.label << ": nothing reached the device";
        }
        kr::hid_close(holder);
    }
}

TEST_F(ControlCommand, InvalidIdentifierPrintsOnlyTheIdsAndOpensNothing)
{
    struct Case {
        const char* identifier;
        const char* output;
    };
    const Case cases[] = {
        {"0-5678-0", "Invalid vid or pid 0 0x5678"},
        {"1234-0-0", "Invalid vid or pid 0x1234 0"},
        {"zzzz-5678-0", "Invalid vid or pid 0 0"},
        {"1234", "Invalid vid or pid 0x1234 0"},
        {"0x-ffff-0", "Invalid vid or pid 0 0xffff"},
        {"", "Invalid vid or pid 0 0"},
    };
    plug(0);
    for (const Case& c : cases) {
        for (bool expectReply : {false, true}) {
            CommandRun run = control(c.identifier, "version", expectReply);
            EXPECT_FALSE(run.result) << c.identifier;
            EXPECT_EQ(run.output, c.output);
        }
    }
    EXPECT_EQ(simbus::openCount(), 0u);
}

TEST_F(ControlCommand, TheIndexFieldSelectsNothing)
{
    auto first = plugAnswering(2, {{"id", "first"}});
    auto second = plugAnswering(4, {{"id", "second"}});
    for (const char* identifier :
         {"1234-5678-0000", "1234-5678-0003", "1234-5678-0001", "1234-5678"}) {
        CommandRun run = control(identifier, "id", true);
        EXPECT_TRUE(run.result) << identifier;
        EXPECT_EQ(text(parseEntry(run.output).response), "first") << identifier;
    }
    EXPECT_EQ(first->receivedOutputs().size(), 4u);
    EXPECT_TRUE(second->receivedOutputs().empty());
}

TEST_F(ControlCommand, AbsentRequestSendsAnEmptyRequestAndRecordsNull)
{
    auto device = plugAnswering(0, {{"", "ready"}});
    CommandRun set = control("1234-5678-0000", nullptr, false);
    EXPECT_TRUE(set.result);
    Entry e = parseEntry(set.output);
    EXPECT_EQ(text(e.request), "<null>");
    EXPECT_EQ(text(e.response), "");
    EXPECT_EQ(text(e.error), "<null>");

    CommandRun get = control("1234-5678-0000", nullptr, true);
    EXPECT_TRUE(get.result);
    e = parseEntry(get.output);
    EXPECT_EQ(text(e.request), "<null>");
    EXPECT_EQ(text(e.response), "ready");
    EXPECT_EQ(device->receivedOutputs(), (std::vector<Report>{request(""), request("")}));
}

// Replies as long as the input report allows, around the 100-byte mark:
// never cut, never read past their end (AddressSanitizer watches the
// latter), a report of only data bytes and no zero included.
TEST_F(ControlCommand, LongRepliesComeBackWhole)
{
    struct Case {
        uint16_t inputDataBytes;
        size_t replyLength;
    };
    const Case cases[] = {
        {64, 64}, {98, 98}, {99, 99}, {100, 100}, {101, 101}, {200, 150}, {254, 254}, {300, 300},
        {4095, 4095},
    };
    for (const Case& c : cases) {
        simbus::reset();
        std::string reply(c.replyLength, 'r');
        for (size_t i = 0; i < reply.size(); ++i)
            reply[i] = static_cast<char>('a' + i % 26);
        plug(0, 0x1234, 0x5678, [&](sim::DeviceConfig& config) {
            config.inputDataBytes = c.inputDataBytes;
            config.replies = {{"blob", reply}};
        });
        CommandRun run = control("1234-5678-0000", "blob", true);
        EXPECT_TRUE(run.result);
        EXPECT_EQ(text(parseEntry(run.output).response), reply) << c.inputDataBytes;
    }
}

// A reply or request name that is not UTF-8 keeps its member: the invalid
// bytes are written as U+FFFD, and the device still gets the name's bytes.
TEST_F(ControlCommand, TextsThatAreNotUtf8KeepTheirMembers)
{
    struct Case {
        std::string name;
        std::string reply;
        const char* writtenName;
        const char* writtenReply;
    };
    const Case cases[] = {
        {"version", "\xff\xfe\x41\xc3\xc0\xed\x80", "version",
         "\xEF\xBF\xBD\xEF\xBF\xBD" "A" "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xc3\x28\xff", "ok", "\xEF\xBF\xBD(\xEF\xBF\xBD", "ok"},
    };
    for (const Case& c : cases) {
        simbus::reset();
        auto device = plugAnswering(0, {{c.name, c.reply}});
        CommandRun run = control("1234-5678-0000", c.name.c_str(), true);
        EXPECT_TRUE(run.result) << c.writtenName;
        Entry e = parseEntry(run.output);
        EXPECT_EQ(text(e.request), c.writtenName);
        EXPECT_EQ(text(e.response), c.writtenReply);
        EXPECT_EQ(text(e.error), "<null>");
        EXPECT_EQ(device->receivedOutputs(), std::vector<Report>{request(c.name)});
    }
}

TEST_F(ControlCommand, ReplyEndsAtItsFirstZeroByte)
{
    plugAnswering(0, {{"v", std::string("1.2\0junk", 8)}});
    CommandRun run = control("1234-5678-0000", "v", true);
    EXPECT_EQ(text(parseEntry(run.output).response), "1.2");
}

TEST_F(ControlCommand, DeviceWithoutInputReportsStillTakesSet)
{
    auto device = plug(0, 0x1234, 0x5678, [](sim::DeviceConfig& c) { c.inputDataBytes = 0; });
    for (bool expectReply : {false, true}) {
        CommandRun run = control("1234-5678-0000", "version", expectReply);
        EXPECT_TRUE(run.result);
        EXPECT_EQ(text(parseEntry(run.output).response), "");
    }
    EXPECT_EQ(device->receivedOutputs().size(), 2u);
}

} // namespace
