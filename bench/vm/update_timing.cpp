// e2e-update-timing: times one upgrade through the upgrade library
// (libhiddfu), watching its progress far more often than hiddfu's one-second
// poll does, so that the transfer time is not rounded up to the next tick.
//
//   e2e-update-timing VID PID FILE.dfu
//
// Connects to the first upgradable device with the hexadecimal ids, starts
// the upgrade of FILE.dfu and polls hidDfuGetProgress every millisecond until
// it reports 100. Prints one line:
//
//   update START_MS TRANSFER_MS RESULT
//
// START_MS is how long hidDfuUpgrade took (it reads and checks the file
// before the transfer starts), TRANSFER_MS the time from its return until
// progress 100, RESULT what hidDfuGetResult gave. Exit status 0 when the
// upgrade succeeded, 1 when it failed or did not start, 2 for a wrong
// command line.
#include "HidDfu.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

const std::chrono::milliseconds kPollInterval(1);

double millisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

bool readId(const char* text, uint16* id)
{
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 16);
    if (end == text || *end != '\0' || value > 0xFFFF)
        return false;
    *id = static_cast<uint16>(value);
    return true;
}

int timeUpgrade(uint16 vendorId, uint16 productId, const char* path)
{
    uint16 deviceCount = 0;
    hidDfuConnect(vendorId, productId, 0, 0, &deviceCount);
    if (deviceCount == 0) {
        std::fprintf(stderr, "e2e-update-timing: no upgradable device %04x:%04x\n", vendorId,
                     productId);
        hidDfuDisconnect();
        return 1;
    }

    const Clock::time_point callStart = Clock::now();
    const int32 started = hidDfuUpgrade(path, 1);
    const double startMs = millisecondsSince(callStart);
    if (started != 0) {
        std::fprintf(stderr, "e2e-update-timing: hidDfuUpgrade refused (%d)\n",
                     static_cast<int>(started));
        hidDfuDisconnect();
        return 1;
    }
    const Clock::time_point transferStart = Clock::now();
    while (hidDfuGetProgress() != 100)
        std::this_thread::sleep_for(kPollInterval);
    const double transferMs = millisecondsSince(transferStart);
    const int32 result = hidDfuGetResult();
    hidDfuDisconnect();

    std::printf("update %.1f %.1f %d\n", startMs, transferMs, static_cast<int>(result));
    return result == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    uint16 vendorId = 0;
    uint16 productId = 0;
    if (argc != 4 || !readId(argv[1], &vendorId) || !readId(argv[2], &productId)) {
        std::fprintf(stderr, "usage: e2e-update-timing VID PID FILE.dfu (ids in hex)\n");
        return 2;
    }
    return timeUpgrade(vendorId, productId, argv[3]);
}
