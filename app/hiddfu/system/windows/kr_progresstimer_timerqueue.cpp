// The progress timer on Windows: a periodic timer on the default timer
// queue, created with WT_EXECUTEINTIMERTHREAD so that every tick runs on the
// timer thread itself and ticks cannot overlap.
//
// The last tick deletes the timer without waiting (it cannot wait for
// itself) and, as its very last touch of this object, signals an event that
// the waiting thread blocks on.
#include "kr_progresstimer.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <atomic>

namespace kr {

namespace {

class TimerQueueTimer final : public ProgressTimer {
public:
    explicit TimerQueueTimer(std::chrono::milliseconds period) : m_period(period) {}

    ~TimerQueueTimer() override
    {
        if (m_timer != nullptr) {
            if (!m_cancelled.exchange(true)) {
                // No tick ended the timer: delete it, waiting for a tick
                // that is running now.
                DeleteTimerQueueTimer(nullptr, m_timer, INVALID_HANDLE_VALUE);
            } else {
                // A tick deleted it: wait until that tick is done with us.
                WaitForSingleObject(m_stopped, INFINITE);
            }
        }
        if (m_stopped != nullptr)
            CloseHandle(m_stopped);
    }

    bool start(Tick tick) override
    {
        if (tick == nullptr || m_period.count() <= 0 || m_period.count() > MAXDWORD ||
            m_timer != nullptr || m_stopped != nullptr)
            return false;
        m_stopped = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (m_stopped == nullptr)
            return false;
        m_tick = tick;
        const DWORD period = static_cast<DWORD>(m_period.count());
        if (!CreateTimerQueueTimer(&m_timer, nullptr, &TimerQueueTimer::onTimer, this, period, period,
                                   WT_EXECUTEINTIMERTHREAD)) {
            m_timer = nullptr;
            return false;
        }
        return true;
    }

    // On the timer thread, inside a tick: marks the timer for deletion and
    // returns at once (the call reports ERROR_IO_PENDING because this very
    // callback is still running, which is expected).
    void cancel() override
    {
        if (!m_cancelled.exchange(true))
            DeleteTimerQueueTimer(nullptr, m_timer, nullptr);
    }

    void waitUntilStopped() override { WaitForSingleObject(m_stopped, INFINITE); }

private:
    static VOID CALLBACK onTimer(PVOID self, BOOLEAN timerFired)
    {
        TimerQueueTimer* timer = static_cast<TimerQueueTimer*>(self);
        if (timer->m_cancelled.load())
            return;
        timer->m_tick(nullptr, timerFired);
        if (timer->m_cancelled.load())
            SetEvent(timer->m_stopped);
    }

    const std::chrono::milliseconds m_period;
    Tick m_tick = nullptr;
    HANDLE m_timer = nullptr;
    HANDLE m_stopped = nullptr;  // manual-reset event: the last tick is done
    std::atomic<bool> m_cancelled{false};
};

} // namespace

std::unique_ptr<ProgressTimer> makeProgressTimer(std::chrono::milliseconds period)
{
    return std::make_unique<TimerQueueTimer>(period);
}

} // namespace kr
