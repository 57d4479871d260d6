// The update command against the scripted upgrade library and the
// platform's timer with a short period: the checks before the device is
// touched, the progress lines, the final line, the library calls on each
// path and the threads they run on. Every line is parsed back with Jansson.
#include "kr_frontend.h"
#include "kr_interrupt.h"
#include "kr_mvcommand.h"
#include "kr_progresstimer.h"

#include "scripted_library.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <jansson.h>

#include <chrono>
#include <climits>
#include <memory>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <io.h>
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#define dup _dup
#define dup2 _dup2
#define fileno _fileno
#define close _close
#else
#include <unistd.h>
#endif

namespace {

using scripted::Function;
using testsupport::TempDir;
using std::chrono::milliseconds;

const milliseconds kTestPeriod(2);

// One written line of the transfer document.
struct Line {
    std::string identifier;
    double progress = -1;
    int state = 99;
    bool errorIsNull = false;
    std::string error;
};

// Parses each line; every one must be a complete transfer document.
std::vector<Line> parseLines(const std::string& out)
{
    std::vector<Line> lines;
    size_t start = 0;
    while (start < out.size()) {
        const size_t end = out.find('\n', start);
        EXPECT_NE(end, std::string::npos) << "last line has no line end: " << out;
        const std::string text = out.substr(start, end == std::string::npos ? end : end - start);
        start = end == std::string::npos ? out.size() : end + 1;

        json_error_t error;
        json_t* document = json_loads(text.c_str(), 0, &error);
        EXPECT_NE(document, nullptr) << error.text << " in: " << text;
        if (document == nullptr)
            continue;
        json_t* status = json_object_get(document, "transfer");
        EXPECT_EQ(json_object_size(document), 1u) << text;
        EXPECT_EQ(json_object_size(status), 4u) << text;
        json_t* progress = json_object_get(status, "progress");
        json_t* errorMember = json_object_get(status, "error");
        EXPECT_TRUE(json_is_real(progress)) << text;
        EXPECT_TRUE(json_is_integer(json_object_get(status, "state"))) << text;
        EXPECT_TRUE(json_is_null(errorMember) || json_is_string(errorMember)) << text;
        Line line;
        const char* identifier = json_string_value(json_object_get(status, "identifier"));
        line.identifier = identifier != nullptr ? identifier : "(not a string)";
        line.progress = json_real_value(progress);
        line.state = static_cast<int>(json_integer_value(json_object_get(status, "state")));
        line.errorIsNull = json_is_null(errorMember);
        line.error = json_is_string(errorMember) ? json_string_value(errorMember) : "";
        lines.push_back(line);
        json_decref(document);
    }
    return lines;
}

std::string functionNames(const std::vector<Function>& functions)
{
    std::string text;
    for (Function f : functions)
        text += std::string(scripted::name(f)) + " ";
    return text;
}

std::vector<Function> startCalls(std::initializer_list<Function> more = {})
{
    std::vector<Function> calls{Function::Connect, Function::Upgrade};
    calls.insert(calls.end(), more);
    return calls;
}

// The platform's ways of asking a running update to stop: signals on POSIX,
// console control events on Windows (handed to the handler routine as the
// system would hand them).
struct StopRequest {
    const char* name;
    int code;
};
#ifdef _WIN32
const StopRequest kStopRequests[] = {{"Ctrl-C", CTRL_C_EVENT}, {"Ctrl-Break", CTRL_BREAK_EVENT}};
void deliver(const StopRequest& request)
{
    EXPECT_TRUE(kr::detail::consoleControlHandler(static_cast<unsigned long>(request.code)));
}
#else
const StopRequest kStopRequests[] = {{"SIGINT", SIGINT}, {"SIGTERM", SIGTERM}, {"SIGHUP", SIGHUP}};
void deliver(const StopRequest& request)
{
    std::raise(request.code);
}
#endif

// A platform timer that counts its starts, or one that cannot be created.
class TestTimer : public kr::ProgressTimer {
public:
    explicit TestTimer(bool canStart) : m_canStart(canStart), m_timer(kr::makeProgressTimer(kTestPeriod)) {}
    bool start(Tick tick) override
    {
        ++starts;
        return m_canStart && m_timer->start(tick);
    }
    void cancel() override { m_timer->cancel(); }
    void waitUntilStopped() override { m_timer->waitUntilStopped(); }

    int starts = 0;

private:
    bool m_canStart;
    std::unique_ptr<kr::ProgressTimer> m_timer;
};

class UpdateCommand : public ::testing::Test {
protected:
    void SetUp() override
    {
        writeFirmware("fw.dfu", 0x1234, 0x5678);
    }

    std::string writeFirmware(const std::string& name, uint16_t vid, uint16_t pid)
    {
        testsupport::DfuContents contents;
        contents.idVendor = vid;
        contents.idProduct = pid;
        contents.payload = testsupport::countingBytes(300);
        testsupport::writeFile(dir.path(name), testsupport::buildDfuFile(contents));
        return dir.path(name);
    }

    // Runs the command on a fresh document and returns the lines written.
    std::vector<Line> update(const std::string& identifier, const std::string& source,
                             bool timerStarts = true)
    {
        kr::JSONTransfer document("", "transfer");
        TestTimer timer(timerStarts);
        errors = testsupport::captureOutput([&](FILE* err) {
            output = testsupport::captureOutput([&](FILE* stream) {
                g_stream = stream;
                succeeded =
                    kr::mv_CommandUpdate(identifier.c_str(), source.c_str(), document, timer, stream, err);
                g_stream = nullptr;
            });
        });
        timerStarts_ = timer.starts;
        return parseLines(output);
    }

    TempDir dir;
    std::string output;
    std::string errors;  // what the command wrote on its error stream
    bool succeeded = false;
    int timerStarts_ = 0;

    static FILE* g_stream;
};

FILE* UpdateCommand::g_stream = nullptr;

// Every failure before the upgrade starts: one line with the failure state
// and text, progress 0 from construction, the identifier as given, and only
// the library calls up to the failing step (no disconnect after a failed
// connect or a refused upgrade; after a refusal the library is asked why).
TEST_F(UpdateCommand, FailuresBeforeTheUpgradeStarts)
{
    testsupport::Bytes corrupt = testsupport::readFile(dir.path("fw.dfu"));
    corrupt[3] ^= 0x20;
    testsupport::writeFile(dir.path("corrupt.dfu"), corrupt);
    writeFirmware("vendor.dfu", 0x1235, 0x5678);
    writeFirmware("product.dfu", 0x1234, 0x5679);
    writeFirmware("any.dfu", 0xffff, 0xffff);

    struct Case {
        const char* identifier;
        const char* file;
        uint16_t deviceCount;
        int32_t upgradeResult;
        const char* error;
        std::vector<Function> calls;
    };
    const Case cases[] = {
        {"0-5678-0000", "fw.dfu", 1, 0, "Invalid device identifier", {}},
        {"1234-0-0000", "fw.dfu", 1, 0, "Invalid device identifier", {}},
        {"zzzz", "missing.dfu", 1, 0, "Invalid device identifier", {}},
        {"", "fw.dfu", 1, 0, "Invalid device identifier", {}},
        {"1234-5678-0000", "missing.dfu", 1, 0, "Unable to load firmware file", {}},
        {"1234-5678-0000", "corrupt.dfu", 1, 0, "Unable to load firmware file", {}},
        {"1234-5678-0000", "", 1, 0, "Unable to load firmware file", {}},
        {"1234-5678-0000", "vendor.dfu", 1, 0, "Firmware file not valid for the target device", {}},
        {"1234-5678-0000", "product.dfu", 1, 0, "Firmware file not valid for the target device", {}},
        {"1234-ffff-0000", "any.dfu", 1, 0, "Firmware file not valid for the target device", {}},
        {"ffff-1234-0000", "any.dfu", 1, 0, "Firmware file not valid for the target device", {}},
        {"1ffff-ffff-0000", "any.dfu", 1, 0, "Firmware file not valid for the target device", {}},
        {"1234-15678-0000", "fw.dfu", 1, 0, "Firmware file not valid for the target device", {}},
        {"1234-5678-0000", "fw.dfu", 0, 0, "Unable to connect to device", {Function::Connect}},
        {"ffff-ffff-0000", "any.dfu", 0, 0, "Unable to connect to device", {Function::Connect}},
        {"1234-5678-0000", "fw.dfu", 1, 1, "Unable to upgrade connected device",
         startCalls({Function::GetResult})},
        {"1234-5678-0007", "fw.dfu", 3, -4, "Unable to upgrade connected device",
         startCalls({Function::GetResult})},
    };
    for (const Case& c : cases) {
        const std::string label = std::string(c.identifier) + " " + c.file;
        scripted::Script script;
        script.connectCounts = {c.deviceCount};
        script.upgradeResult = c.upgradeResult;
        scripted::reset(script);
        const std::string source = c.file[0] != '\0' ? dir.path(c.file) : std::string();

        const std::vector<Line> lines = update(c.identifier, source);
        EXPECT_FALSE(succeeded) << label;
        EXPECT_EQ(timerStarts_, 0) << label;
        ASSERT_EQ(lines.size(), 1u) << label << ": " << output;
        EXPECT_EQ(lines[0].identifier, c.identifier) << label;
        EXPECT_EQ(lines[0].state, -1) << label;
        EXPECT_EQ(lines[0].error, c.error) << label;
        EXPECT_EQ(lines[0].progress, 0.0) << label;
        EXPECT_EQ(functionNames(scripted::functions()), functionNames(c.calls)) << label;

        const std::vector<scripted::Call> calls = scripted::calls();
        if (!calls.empty()) {
            EXPECT_EQ(calls[0].idVendor, 0xffff & std::stoul(c.identifier, nullptr, 16)) << label;
            EXPECT_EQ(calls[0].usagePage, 0);
            EXPECT_EQ(calls[0].usage, 0);
        }
        if (calls.size() > 1) {
            EXPECT_EQ(calls[1].path, source) << "the library reads the file by its path";
            EXPECT_EQ(calls[1].flags, 1);
        }
    }
}

// The poll: one kStateDownload line per poll with the library's progress as
// it is (values above 100 too), until 100; then one final line.

// A refused upgrade keeps its JSON text, and one line on the error stream
// says why: the precise reason hidDfuGetResult keeps, else the refusal's own
// number. A device another run holds is named as in use.
TEST_F(UpdateCommand, RefusalsSayWhyOnTheErrorStream)
{
    struct Case {
        const char* what;
        bool busy;
        int32_t upgradeResult;
        int32_t reason;  // hidDfuGetResult afterwards
        const char* jsonError;
        const char* line;
    };
    const Case cases[] = {
        {"transfer size 0", false, -8, -15, "Unable to upgrade connected device",
         "Upgrade refused: the device's DFU functional report gives a wTransferSize of 0\n"},
        {"transfer size too large", false, -8, -16, "Unable to upgrade connected device",
         "Upgrade refused: the device's wTransferSize is larger than its DFU request report can carry\n"},
        {"bitCanDnload clear", false, -8, -14, "Unable to upgrade connected device",
         "Upgrade refused: the device's DFU functional report has bitCanDnload clear "
         "(the device does not accept downloads)\n"},
        {"functional report unreadable", false, -8, -8, "Unable to upgrade connected device",
         "Upgrade refused: the device's DFU functional report could not be read or is malformed\n"},
        {"empty payload", false, -4, -13, "Unable to upgrade connected device",
         "Upgrade refused: the DFU file has no firmware payload to download\n"},
        {"file for other ids", false, -6, -6, "Unable to upgrade connected device",
         "Upgrade refused: the DFU file is for another vendor or product id than the device\n"},
        {"reason unknown: the call's number", false, -8, -5, "Unable to upgrade connected device",
         "Upgrade refused: the device's DFU functional report could not be read or is malformed\n"},
        {"nothing known", false, -99, -5, "Unable to upgrade connected device",
         "Upgrade refused by the upgrade library (-99)\n"},
        {"device held by another run", true, 0, 0, "Unable to connect to device",
         "Device 1234:5678 is in use by another program\n"},
    };
    for (const Case& c : cases) {
        scripted::Script script;
        script.connectBusy = c.busy;
        script.upgradeResult = c.upgradeResult;
        script.result = c.reason;
        scripted::reset(script);
        const std::vector<Line> lines = update("1234-5678-0000", dir.path("fw.dfu"));
        EXPECT_FALSE(succeeded) << c.what;
        ASSERT_EQ(lines.size(), 1u) << c.what;
        EXPECT_EQ(lines[0].error, c.jsonError) << c.what;
        EXPECT_EQ(errors, c.line) << c.what;
    }
}

TEST_F(UpdateCommand, ProgressLinesUntilTheFinalOne)
{
    struct Expected {
        int state;
        double progress;
        const char* error;  // null: JSON null
    };
    struct Case {
        const char* label;
        std::vector<uint8_t> progress;
        int32_t result;
        bool succeeds;
        std::vector<Expected> lines;
    };
    std::vector<Case> cases = {
        {"done at once", {100}, 0, true, {{0, 100.0, nullptr}}},
        {"failed at once", {100}, 5, false, {{-1, 0.0, "Upgrade failed (5)"}}},
        {"ordinary run", {0, 37, 99, 100}, 0, true,
         {{3, 0.0, nullptr}, {3, 37.0, nullptr}, {3, 99.0, nullptr}, {0, 100.0, nullptr}}},
        {"above 100", {0, 37, 150, 255, 101, 100}, -3, false,
         {{3, 0.0, nullptr}, {3, 37.0, nullptr}, {3, 150.0, nullptr}, {3, 255.0, nullptr},
          {3, 101.0, nullptr}, {-1, 101.0, "Upgrade failed (-3)"}}},
        {"extreme result", {12, 100}, INT32_MIN, false,
         {{3, 12.0, nullptr}, {-1, 12.0, "Upgrade failed (-2147483648)"}}},
        {"positive result", {99, 100}, 15, false,
         {{3, 99.0, nullptr}, {-1, 99.0, "Upgrade failed (15)"}}},
    };
    // A library that takes long to end: the command sets no limit of its own.
    Case slow{"slow", std::vector<uint8_t>(40, 50), 0, true, {}};
    slow.progress.push_back(100);
    slow.lines.assign(40, Expected{3, 50.0, nullptr});
    slow.lines.push_back({0, 100.0, nullptr});
    cases.push_back(slow);

    for (const Case& c : cases) {
        scripted::Script script;
        script.progress = c.progress;
        script.result = c.result;
        scripted::reset(script);

        const std::vector<Line> lines = update("1234-5678-0000", dir.path("fw.dfu"));
        EXPECT_EQ(succeeded, c.succeeds) << c.label;
        EXPECT_EQ(timerStarts_, 1) << c.label;
        ASSERT_EQ(lines.size(), c.lines.size()) << c.label << ":\n" << output;
        for (size_t i = 0; i < lines.size(); ++i) {
            const std::string where = std::string(c.label) + " line " + std::to_string(i);
            EXPECT_EQ(lines[i].identifier, "1234-5678-0000") << where;
            EXPECT_EQ(lines[i].state, c.lines[i].state) << where;
            EXPECT_EQ(lines[i].progress, c.lines[i].progress) << where;
            if (c.lines[i].error == nullptr) {
                EXPECT_TRUE(lines[i].errorIsNull) << where;
            } else {
                EXPECT_EQ(lines[i].error, c.lines[i].error) << where;
            }
        }

        // connect, upgrade, one poll per line, the result once, disconnect.
        std::vector<Function> expectedCalls = startCalls();
        expectedCalls.insert(expectedCalls.end(), c.progress.size(), Function::GetProgress);
        expectedCalls.push_back(Function::GetResult);
        expectedCalls.push_back(Function::Disconnect);
        EXPECT_EQ(functionNames(scripted::functions()), functionNames(expectedCalls)) << c.label;
        EXPECT_EQ(kr::_updating.load(), 0) << c.label;
    }
}

// connect and upgrade on the command's thread; the polls, the result and the
// final disconnect all on one other thread, the timer's.
TEST_F(UpdateCommand, PollsRunOnTheTimerThread)
{
    scripted::Script script;
    script.progress = {10, 20, 30, 100};
    scripted::reset(script);
    update("1234-5678-0000", dir.path("fw.dfu"));
    EXPECT_TRUE(succeeded);

    const std::vector<scripted::Call> calls = scripted::calls();
    ASSERT_EQ(calls.size(), 8u);
    const std::thread::id mainThread = std::this_thread::get_id();
    EXPECT_EQ(calls[0].thread, mainThread);
    EXPECT_EQ(calls[1].thread, mainThread);
    for (size_t i = 2; i < calls.size(); ++i) {
        EXPECT_NE(calls[i].thread, mainThread) << scripted::name(calls[i].function);
        EXPECT_EQ(calls[i].thread, calls[2].thread) << scripted::name(calls[i].function);
    }
}

// _updating is 1 while the polls run; the final line is on the stream before
// the library is disconnected; after the command returns it is 0.
TEST_F(UpdateCommand, FinalLineIsWrittenBeforeTheDisconnect)
{
    std::vector<int> updatingAtPoll;
    long writtenAtDisconnect = -1;
    int updatingAtDisconnect = -1;
    scripted::Script script;
    script.progress = {40, 80, 100};
    script.onPoll = [&] { updatingAtPoll.push_back(kr::_updating.load()); };
    script.onDisconnect = [&] {
        updatingAtDisconnect = kr::_updating.load();
        std::fflush(g_stream);
        writtenAtDisconnect = std::ftell(g_stream);
    };
    scripted::reset(script);
    const std::vector<Line> lines = update("1234-5678-0000", dir.path("fw.dfu"));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(updatingAtPoll, (std::vector<int>{1, 1, 1}));
    EXPECT_EQ(updatingAtDisconnect, 1);
    EXPECT_EQ(writtenAtDisconnect, static_cast<long>(output.size()));
    EXPECT_EQ(kr::_updating.load(), 0);
}

// Polls that take longer than the period do not overlap.
TEST_F(UpdateCommand, SlowPollsDoNotOverlap)
{
    scripted::Script script;
    script.progress = {1, 2, 3, 4, 100};
    script.onPoll = [] { std::this_thread::sleep_for(milliseconds(15)); };
    scripted::reset(script);
    const std::vector<Line> lines = update("1234-5678-0000", dir.path("fw.dfu"));
    EXPECT_EQ(lines.size(), 5u);
    EXPECT_FALSE(scripted::pollsOverlapped());
    EXPECT_TRUE(succeeded);
}

// No timer, no poll: the started upgrade is stopped by disconnecting, and
// the document still gets its final state, written once.
TEST_F(UpdateCommand, TimerThatCannotBeCreated)
{
    scripted::reset();
    const std::vector<Line> lines = update("1234-5678-0000", dir.path("fw.dfu"), false);
    EXPECT_FALSE(succeeded);
    EXPECT_EQ(timerStarts_, 1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].state, -1);
    EXPECT_EQ(lines[0].error, "Unable to start progress timer");
    EXPECT_EQ(lines[0].progress, 0.0);
    EXPECT_EQ(functionNames(scripted::functions()),
              functionNames(startCalls({Function::Disconnect})));
    EXPECT_EQ(kr::_updating.load(), 0);
}

// A stop request during the upgrade: the next poll disconnects (which stops
// the library's worker), the library then reports the end, and the final
// line carries its result with the last progress written; the command fails.
TEST_F(UpdateCommand, StopRequestEndsTheUpgradeWithAFinalLine)
{
    for (const StopRequest& request : kStopRequests) {
        const kr::InterruptCatcher catcher;
        int polls = 0;
        scripted::Script script;
        script.progress = {10, 20, 30};
        script.disconnectStops = true;
        script.onPoll = [&] {
            if (++polls == 2)
                deliver(request);
        };
        scripted::reset(script);
        const std::vector<Line> lines = update("1234-5678-0000", dir.path("fw.dfu"));
        EXPECT_FALSE(succeeded) << request.name;
        EXPECT_TRUE(kr::interruptRequested()) << request.name;
        ASSERT_EQ(lines.size(), 3u) << request.name << ":\n" << output;
        EXPECT_EQ(lines[1].progress, 20.0) << request.name;
        EXPECT_EQ(lines[2].state, -1) << request.name;
        EXPECT_EQ(lines[2].progress, 20.0) << request.name;
        EXPECT_EQ(lines[2].error, "Upgrade failed (-9)") << request.name;
        EXPECT_EQ(functionNames(scripted::functions()),
                  functionNames(startCalls({Function::GetProgress, Function::GetProgress, Function::Disconnect,
                                            Function::GetProgress, Function::GetResult, Function::Disconnect})))
            << request.name;
    }
    EXPECT_FALSE(kr::detail::catcherActive());
}

#ifdef _WIN32
// A second event is left to the system's default handler (which ends the
// process); closing the console waits for the update's end, as the process
// ends once the handler returns; other events are not ours.
TEST(ConsoleControlHandler, SecondEventAndClosingTheConsole)
{
    {
        const kr::InterruptCatcher catcher;
        EXPECT_FALSE(kr::detail::consoleControlHandler(CTRL_LOGOFF_EVENT));
        EXPECT_FALSE(kr::interruptRequested());
        EXPECT_TRUE(kr::detail::consoleControlHandler(CTRL_C_EVENT));
        EXPECT_FALSE(kr::detail::consoleControlHandler(CTRL_BREAK_EVENT));
    }
    auto catcher = std::make_unique<kr::InterruptCatcher>();
    const auto started = std::chrono::steady_clock::now();
    std::thread closing([] { EXPECT_TRUE(kr::detail::consoleControlHandler(CTRL_CLOSE_EVENT)); });
    std::this_thread::sleep_for(milliseconds(300));
    catcher.reset();
    closing.join();
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_GE(took, milliseconds(250)) << "the handler waited for the update";
    EXPECT_LT(took, milliseconds(4000));
}
#else
// A second signal ends the process at once, by that signal.
TEST(StopSignals, SecondSignalEndsTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const StopRequest& request : kStopRequests) {
        EXPECT_EXIT(
            {
                const kr::InterruptCatcher catcher;
                std::raise(request.code);
                if (!kr::interruptRequested())
                    std::_Exit(3);
                std::raise(request.code);
                std::_Exit(4);
            },
            ::testing::KilledBySignal(request.code), "")
            << request.name;
    }
}
#endif

// Standard output of this process goes to a file while the object lives.
class StdoutToFile {
public:
    explicit StdoutToFile(const std::string& path) : m_path(path)
    {
        std::fflush(stdout);
        m_saved = dup(fileno(stdout));
        FILE* file = std::fopen(path.c_str(), "wb");
        dup2(fileno(file), fileno(stdout));
        std::fclose(file);
    }
    ~StdoutToFile() { restore(); }

    std::string restore()
    {
        if (m_saved >= 0) {
            std::fflush(stdout);
            dup2(m_saved, fileno(stdout));
            close(m_saved);
            m_saved = -1;
        }
        return testsupport::readText(m_path);
    }

private:
    std::string m_path;
    int m_saved = -1;
};

// The shipped wiring: the front end's update on the process-wide document,
// standard output and the one-second timer; 0 for success and -1 for
// failure. The document keeps a failure once recorded, so success comes
// first.
TEST_F(UpdateCommand, FrontEndExitStatus)
{
    const std::string source = dir.path("fw.dfu");
    struct Case {
        std::vector<uint8_t> progress;
        int32_t result;
        int exitStatus;
        int finalState;
        const char* error;
        bool interrupted;  // a stop request at the first poll
    };
    const Case cases[] = {
        {{100}, 0, 0, 0, nullptr, false},
        {{100}, 9, -1, -1, "Upgrade failed (9)", false},
        {{40}, 0, -1, -1, "Upgrade failed (-9)", true},
    };
    for (const Case& c : cases) {
        scripted::Script script;
        script.progress = c.progress;
        script.result = c.result;
        script.disconnectStops = true;
        int polls = 0;
        if (c.interrupted)
            script.onPoll = [&polls] {
                if (++polls == 1)
                    deliver(kStopRequests[0]);
            };
        scripted::reset(script);
        std::vector<std::string> words = {"hiddfu", "update", "1234-5678-0000", source};
        std::vector<char*> argv;
        for (std::string& word : words)
            argv.push_back(&word[0]);

        StdoutToFile capture(dir.path("stdout.txt"));
        const auto started = std::chrono::steady_clock::now();
        const int status = kr::runCommandLine(static_cast<int>(argv.size()), argv.data());
        const auto took = std::chrono::steady_clock::now() - started;
        std::vector<Line> lines = parseLines(capture.restore());

        EXPECT_EQ(status, c.exitStatus);
        EXPECT_GE(took, milliseconds(950)) << "the first poll comes after a second";
        ASSERT_EQ(lines.size(), c.interrupted ? 2u : 1u);
        lines.erase(lines.begin(), lines.end() - 1);
        EXPECT_EQ(lines[0].identifier, "1234-5678-0000");
        EXPECT_EQ(lines[0].state, c.finalState);
        if (c.error != nullptr) {
            EXPECT_EQ(lines[0].error, c.error);
        } else {
            EXPECT_TRUE(lines[0].errorIsNull);
        }
    }
}

} // namespace
