// The event loop that every transport of hiddfu-sim runs (uhid, a USB HID
// gadget, a USB DFU-class gadget): announce the device in the ready file once
// the host can reach it, hand it its events, restart it when a DETACH asks
// for that, and end on a termination signal.
//
// A Device provides:
//   bool finished() const;     nothing more to serve (it vanished, or failed)
//   std::string readyName() const;
//                              what the ready file names (a hidraw node, a
//                              UDC); empty while the host cannot reach it
//   std::optional<EventClock::time_point> restartDue() const;
//   bool restartNow();         re-enumerate once restartDue has passed
//   int eventFd() const;       what to wait on; -1: signals and timeouts only
//   short eventMask() const;   the poll events that mean "events to handle"
//   bool handleEvents();
// and, for startAndServe:
//   bool loadFlash();          read the flash file of the options
//   bool start();              present the device (false: said why on stderr)
#ifndef SIM_EVENT_LOOP_H
#define SIM_EVENT_LOOP_H

#include "sim_io.h"
#include "sim_options.h"

#include <chrono>
#include <optional>
#include <string>

namespace sim {

using EventClock = std::chrono::steady_clock;

// What woke the loop.
enum class Wake { kDevice, kSignal, kTimeout, kError };

// Waits until `deviceFd` reports one of `deviceEvents`, `signalFd` becomes
// readable, or `timeoutMs` passes (-1: no limit). A signal wins over device
// events that arrive with it.
Wake waitForEvent(int deviceFd, short deviceEvents, int signalFd, int timeoutMs);

// How long to wait: the readiness poll interval until the device is
// announced, otherwise for ever, but never past a pending restart.
int loopWaitMs(bool ready, int readyPollMs, std::optional<EventClock::time_point> restartDue);

// Reports a newly flashed image on stderr, once (`seenManifestations`
// counts those already reported): its size, its blocks, the time from its
// first block to its last (which the USB benchmark reads) and the firmware
// version it set.
void reportFlashedImage(const SimDevice& model, unsigned* seenManifestations);

// After a feature report the device model completed: reports a newly
// flashed image on stderr (`seenManifestations` counts those already
// reported) and takes a DETACH's restart request. Returns when the device is
// to re-enumerate; nothing when no DETACH came or the device is not to
// re-enumerate (which is said on stderr).
std::optional<EventClock::time_point> afterCompletedFeature(SimDevice& model,
                                                            bool reenumerateOnDetach,
                                                            unsigned* seenManifestations);

struct LoopSettings {
    // How long the host may take to reach the device, after start and after
    // each restart.
    std::chrono::seconds readyLimit;
    // How often to look for it meanwhile.
    int readyPollMs;
    // Said when it does not appear in time (e.g. which modules to check).
    const char* notReadyText;
};

// Serves `device` until it is finished (0) or a termination signal arrives
// on `signalFd` (0); 1 after a failure, which has been reported.
template <typename Device>
int serveEvents(Device& device, const std::string& readyFile, int signalFd,
                const LoopSettings& settings)
{
    auto readyDeadline = EventClock::now() + settings.readyLimit;
    bool ready = false;
    while (!device.finished()) {
        if (!ready) {
            const std::string name = device.readyName();
            if (!name.empty()) {
                if (!announceReady(name, readyFile))
                    return 1;
                ready = true;
            } else if (EventClock::now() > readyDeadline) {
                printError(settings.notReadyText);
                return 1;
            }
        }
        const std::optional<EventClock::time_point> restart = device.restartDue();
        if (restart && EventClock::now() >= *restart) {
            if (!device.restartNow())
                return 1;
            ready = false;
            readyDeadline = EventClock::now() + settings.readyLimit;
            continue;
        }
        const int waitMs = loopWaitMs(ready, settings.readyPollMs, restart);
        switch (waitForEvent(device.eventFd(), device.eventMask(), signalFd, waitMs)) {
        case Wake::kDevice:
            if (!device.handleEvents())
                return 1;
            break;
        case Wake::kSignal:
            return 0;
        case Wake::kTimeout:
            break;
        case Wake::kError:
            printError(errnoText("waiting for events"));
            return 1;
        }
    }
    return 0;
}

// Loads the device's flash, presents it to the host and serves it as
// serveEvents does; 1 when the flash file cannot be read or the device
// cannot be presented.
template <typename Device>
int startAndServe(Device& device, const SimOptions& options, int signalFd,
                  const LoopSettings& settings)
{
    if (!device.loadFlash()) {
        printError("cannot read the flash file " + options.device.dfu.flashPath);
        return 1;
    }
    if (!device.start())
        return 1;
    return serveEvents(device, options.readyFile, signalFd, settings);
}

} // namespace sim

#endif
