// The periodic timer that drives the update's progress poll.
//
// Guarantees every backend gives:
// - the first tick comes one period after start(), then one every period;
// - ticks run one after another on one thread of the timer's own, never
//   overlapping and never on the thread that started the timer;
// - a tick may call cancel(): no tick starts after that one;
// - waitUntilStopped() returns only after the cancelling tick has returned,
//   and everything that tick did happens-before the return.
//
// Backends: a thread of ours on POSIX (system/posix), the system timer
// queue on Windows (system/windows). The build picks one.
#ifndef KR_PROGRESSTIMER_H
#define KR_PROGRESSTIMER_H

#include <chrono>
#include <memory>

namespace kr {

class ProgressTimer {
public:
    // The tick, in the shape of a timer-queue callback: an untyped parameter
    // (always null: the timer is created with none) and a timer-fired flag.
    using Tick = void (*)(void* parameter, unsigned char timerFired);

    virtual ~ProgressTimer() = default;

    // Starts the periodic ticks. False when the timer cannot be created;
    // then no tick ever runs. A timer starts at most once.
    virtual bool start(Tick tick) = 0;

    // Called from inside a tick: that tick is the last one. Does not wait.
    virtual void cancel() = 0;

    // Blocks until a tick has cancelled the timer and returned. Must not be
    // called from a tick, nor on a timer whose start() failed.
    virtual void waitUntilStopped() = 0;

protected:
    ProgressTimer() = default;

private:
    ProgressTimer(const ProgressTimer&) = delete;
    ProgressTimer& operator=(const ProgressTimer&) = delete;
};

// The update's poll period.
constexpr std::chrono::milliseconds kProgressPollPeriod{1000};

// The platform's timer. Destroying it stops the ticks (if no tick cancelled
// them yet) and waits for a running tick to return; so it must not be
// destroyed from a tick. Tests pass a short period.
std::unique_ptr<ProgressTimer> makeProgressTimer(
    std::chrono::milliseconds period = kProgressPollPeriod);

} // namespace kr

#endif
