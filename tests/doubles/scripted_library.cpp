#include "scripted_library.h"

#include "HidDfu.h"

#include <array>
#include <atomic>
#include <cstdlib>

namespace scripted {

namespace {

// Fixed room for the log, so that logging never moves earlier entries while
// the test thread might look at them. A run that makes more calls than this
// is a broken test.
const size_t kLogCapacity = 4096;

Script g_script;
std::array<Call, kLogCapacity> g_log;
size_t g_logSize = 0;
size_t g_connects = 0;
size_t g_polls = 0;
// Only counts polls in flight; relaxed, so it orders nothing for the others.
std::atomic<int> g_pollsInFlight{0};
bool g_overlapped = false;
bool g_stopped = false;  // a disconnect stopped the scripted upgrade

Call& logCall(Function function)
{
    if (g_logSize == kLogCapacity)
        std::abort();
    Call& call = g_log[g_logSize++];
    call = Call();
    call.function = function;
    call.thread = std::this_thread::get_id();
    return call;
}

template <typename T>
T scripted(const std::vector<T>& values, size_t index, T whenEmpty)
{
    if (values.empty())
        return whenEmpty;
    return values[index < values.size() ? index : values.size() - 1];
}

} // namespace

const char* name(Function function)
{
    switch (function) {
    case Function::GetVersion: return "hidDfuGetVersion";
    case Function::Connect: return "hidDfuConnect";
    case Function::Disconnect: return "hidDfuDisconnect";
    case Function::Upgrade: return "hidDfuUpgrade";
    case Function::GetProgress: return "hidDfuGetProgress";
    case Function::GetResult: return "hidDfuGetResult";
    case Function::ResetDevice: return "hidDfuResetDevice";
    }
    return "?";
}

void reset(const Script& script)
{
    g_script = script;
    g_logSize = 0;
    g_connects = 0;
    g_polls = 0;
    g_overlapped = false;
    g_stopped = false;
}

void setVersion(const Version& version)
{
    g_script.version = version;
}

std::vector<Call> calls()
{
    return std::vector<Call>(g_log.begin(), g_log.begin() + static_cast<std::ptrdiff_t>(g_logSize));
}

std::vector<Function> functions()
{
    std::vector<Function> result;
    for (size_t i = 0; i < g_logSize; ++i)
        result.push_back(g_log[i].function);
    return result;
}

int callCount(Function function)
{
    int count = 0;
    for (size_t i = 0; i < g_logSize; ++i)
        count += g_log[i].function == function ? 1 : 0;
    return count;
}

bool pollsOverlapped()
{
    return g_overlapped;
}

} // namespace scripted

using scripted::Function;
using scripted::g_script;

extern "C" int32 hidDfuGetVersion(uint16* major, uint16* minor, uint16* release, uint16* build)
{
    scripted::logCall(Function::GetVersion);
    if (g_script.version.setsValues) {
        *major = g_script.version.major;
        *minor = g_script.version.minor;
        *release = g_script.version.release;
        *build = g_script.version.build;
    }
    return 0;
}

extern "C" int32 hidDfuConnect(uint16 idVendor, uint16 idProduct, uint16 usagePage, uint16 usage,
                               uint16* deviceCount)
{
    scripted::Call& call = scripted::logCall(Function::Connect);
    call.idVendor = idVendor;
    call.idProduct = idProduct;
    call.usagePage = usagePage;
    call.usage = usage;
    *deviceCount = scripted::scripted<uint16_t>(g_script.connectCounts, scripted::g_connects++, 0);
    if (g_script.connectBusy)
        return -12;
    return *deviceCount != 0 ? 0 : -1;
}

extern "C" int32 hidDfuDisconnect(void)
{
    scripted::logCall(Function::Disconnect);
    if (g_script.disconnectStops)
        scripted::g_stopped = true;
    if (g_script.onDisconnect)
        g_script.onDisconnect();
    return 0;
}

extern "C" int32 hidDfuUpgrade(const char* path, uint8 flags)
{
    scripted::Call& call = scripted::logCall(Function::Upgrade);
    call.path = path != nullptr ? path : "(null)";
    call.flags = flags;
    return g_script.upgradeResult;
}

extern "C" uint8 hidDfuGetProgress(void)
{
    if (scripted::g_pollsInFlight.fetch_add(1, std::memory_order_relaxed) != 0)
        scripted::g_overlapped = true;
    scripted::logCall(Function::GetProgress);
    uint8 progress = scripted::scripted<uint8_t>(g_script.progress, scripted::g_polls++, 100);
    if (scripted::g_stopped)
        progress = 100;
    if (g_script.onPoll)
        g_script.onPoll();
    scripted::g_pollsInFlight.fetch_sub(1, std::memory_order_relaxed);
    return progress;
}

extern "C" int32 hidDfuGetResult(void)
{
    scripted::logCall(Function::GetResult);
    return scripted::g_stopped ? g_script.stoppedResult : g_script.result;
}

extern "C" int32 hidDfuResetDevice(void)
{
    scripted::logCall(Function::ResetDevice);
    return 0;
}
