#include "event_loop.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>

namespace sim {

Wake waitForEvent(int deviceFd, short deviceEvents, int signalFd, int timeoutMs)
{
    pollfd entries[2] = {{deviceFd, deviceEvents, 0}, {signalFd, POLLIN, 0}};
    for (;;) {
        const int count = poll(entries, 2, timeoutMs);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return Wake::kError;
        if (count == 0)
            return Wake::kTimeout;
        if (entries[1].revents)
            return Wake::kSignal;
        return (entries[0].revents & deviceEvents) ? Wake::kDevice : Wake::kError;
    }
}

int loopWaitMs(bool ready, int readyPollMs, std::optional<EventClock::time_point> restartDue)
{
    int wait = ready ? -1 : readyPollMs;
    if (restartDue) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(*restartDue - EventClock::now()).count();
        const int untilRestart = static_cast<int>(std::max<long long>(0, left));
        wait = wait < 0 ? untilRestart : std::min(wait, untilRestart);
    }
    return wait;
}

void reportFlashedImage(const SimDevice& model, unsigned* seenManifestations)
{
    const unsigned manifestations = model.manifestations();
    if (manifestations == *seenManifestations)
        return;
    *seenManifestations = manifestations;
    const DownloadTiming download = model.lastDownload();
    char span[32];
    std::snprintf(span, sizeof span, "%.3f", download.firstToLast.count() / 1000.0);
    printError("flashed an image of " + std::to_string(download.bytes) + " bytes in " +
               std::to_string(download.blocks) + " blocks, " + span +
               " ms from the first block to the last; firmware version now \"" +
               model.firmwareVersion() + "\"");
}

std::optional<EventClock::time_point> afterCompletedFeature(SimDevice& model,
                                                            bool reenumerateOnDetach,
                                                            unsigned* seenManifestations)
{
    reportFlashedImage(model, seenManifestations);
    const std::optional<uint32_t> delayMs = model.takeRestartRequest();
    if (!delayMs)
        return std::nullopt;
    if (!reenumerateOnDetach) {
        printError("DETACH: restarted (not re-enumerating)");
        return std::nullopt;
    }
    printError("DETACH: re-enumerating in " + std::to_string(*delayMs) + " ms");
    return EventClock::now() + std::chrono::milliseconds(*delayMs);
}

} // namespace sim
