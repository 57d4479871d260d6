// The progress timer on POSIX: a thread of ours that sleeps on a condition
// variable until the next tick is due, so the ticks run one after another on
// that thread and a stop from outside wakes it at once.
#include "kr_progresstimer.h"

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace kr {

namespace {

using Clock = std::chrono::steady_clock;

class ThreadTimer final : public ProgressTimer {
public:
    explicit ThreadTimer(std::chrono::milliseconds period) : m_period(period) {}

    ~ThreadTimer() override
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_cancelled = true;
        }
        m_wakeUp.notify_all();
        if (m_thread.joinable())
            m_thread.join();
    }

    bool start(Tick tick) override
    {
        if (tick == nullptr || m_period.count() <= 0 || m_thread.joinable())
            return false;
        const Clock::time_point firstTick = Clock::now() + m_period;
        try {
            m_thread = std::thread(&ThreadTimer::run, this, tick, firstTick);
        } catch (const std::system_error&) {
            return false;
        }
        return true;
    }

    // Runs on the timer thread, inside a tick, so nobody sleeps to be woken.
    void cancel() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_cancelled = true;
    }

    // Joining the thread makes everything it did visible here.
    void waitUntilStopped() override
    {
        if (m_thread.joinable())
            m_thread.join();
    }

private:
    void run(Tick tick, Clock::time_point due)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            if (m_wakeUp.wait_until(lock, due, [this] { return m_cancelled; }))
                return;
            lock.unlock();
            tick(nullptr, 1);
            lock.lock();
            due = nextDue(due);
        }
    }

    // The next point on the tick grid that is still ahead: a tick that ran
    // longer than a period delays the next one instead of causing a burst.
    Clock::time_point nextDue(Clock::time_point due) const
    {
        const Clock::time_point now = Clock::now();
        do {
            due += m_period;
        } while (due <= now);
        return due;
    }

    const std::chrono::milliseconds m_period;
    std::mutex m_mutex;
    std::condition_variable m_wakeUp;
    bool m_cancelled = false;  // guarded by m_mutex
    std::thread m_thread;
};

} // namespace

std::unique_ptr<ProgressTimer> makeProgressTimer(std::chrono::milliseconds period)
{
    return std::make_unique<ThreadTimer>(period);
}

} // namespace kr
