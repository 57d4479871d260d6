// A scripted link-time double of the upgrade library's seven calls, for
// tests of the commands. A test sets a script (what each call reports), runs
// a command, and reads back the log of the calls made: which function, its
// arguments and the thread it ran on.
//
// The double takes no lock and makes no atomic operation that orders
// memory: the timer thread's calls and the test thread's reads of the log
// are ordered only by whatever the code under test does, so ThreadSanitizer
// still sees a missing hand-over there.
#ifndef HIDDFU_SCRIPTED_LIBRARY_H
#define HIDDFU_SCRIPTED_LIBRARY_H

#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace scripted {

enum class Function {
    GetVersion,
    Connect,
    Disconnect,
    Upgrade,
    GetProgress,
    GetResult,
    ResetDevice,
};

const char* name(Function function);

struct Version {
    bool setsValues = true;  // false: leaves all four outputs untouched
    uint16_t major = 0;
    uint16_t minor = 0;
    uint16_t release = 0;
    uint16_t build = 0;
};

struct Script {
    Version version;
    // The device count each hidDfuConnect reports, one per call; the last
    // one repeats once the list is used up (none: 0).
    std::vector<uint16_t> connectCounts{1};
    // hidDfuConnect reports every counted device held by another program
    // (-12) and connects none.
    bool connectBusy = false;
    int32_t upgradeResult = 0;
    // The value of each hidDfuGetProgress, one per poll; the last one
    // repeats once the list is used up (none: 100).
    std::vector<uint8_t> progress{100};
    int32_t result = 0;
    // As the real library: a disconnect while the upgrade runs stops it,
    // and from then on the progress is 100 and the result this one.
    bool disconnectStops = false;
    int32_t stoppedResult = -9;
    // Run inside hidDfuGetProgress and hidDfuDisconnect, on the caller's
    // thread, after the call is logged.
    std::function<void()> onPoll;
    std::function<void()> onDisconnect;
};

struct Call {
    Function function = Function::GetVersion;
    std::thread::id thread;
    // hidDfuConnect's arguments
    uint16_t idVendor = 0;
    uint16_t idProduct = 0;
    uint16_t usagePage = 0;
    uint16_t usage = 0;
    // hidDfuUpgrade's arguments
    std::string path;
    uint8_t flags = 0;
};

// Starts afresh: the new script, an empty log. Call it only while no
// command runs.
void reset(const Script& script = Script());

// Changes only the version that hidDfuGetVersion reports.
void setVersion(const Version& version);

// The calls logged since the last reset, in order.
std::vector<Call> calls();
std::vector<Function> functions();
int callCount(Function function);

// True when a poll started while another was still running.
bool pollsOverlapped();

} // namespace scripted

#endif
