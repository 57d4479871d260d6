// The platform's progress timer: when ticks come, on which thread, that they
// never overlap, and that the wait after the last tick sees what it did.
#include "kr_progresstimer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A tick is a plain function with no context, so the tests keep theirs here.
// The plain members are touched by the timer thread only until the test
// thread's wait ends, and by the test thread only after it.
struct TickLog {
    kr::ProgressTimer* timer = nullptr;
    int cancelAtTick = 0;             // 0: never cancel
    milliseconds tickDuration{0};
    std::vector<Clock::time_point> ticks;
    std::vector<std::thread::id> threads;
    std::vector<unsigned char> timerFired;
    int afterCancel = 0;              // written by the cancelling tick after cancel()
    std::atomic<int> running{0};      // ticks in flight
    std::atomic<bool> overlapped{false};
    std::atomic<int> tickCount{0};
};
TickLog* g_log = nullptr;

void recordTick(void* parameter, unsigned char timerFired)
{
    TickLog& log = *g_log;
    if (log.running.fetch_add(1) != 0)
        log.overlapped = true;
    EXPECT_EQ(parameter, nullptr);
    log.ticks.push_back(Clock::now());
    log.threads.push_back(std::this_thread::get_id());
    log.timerFired.push_back(timerFired);
    if (log.tickDuration.count() > 0)
        std::this_thread::sleep_for(log.tickDuration);
    if (static_cast<int>(log.ticks.size()) == log.cancelAtTick) {
        log.timer->cancel();
        log.afterCancel = 42;
    }
    log.running.fetch_sub(1);
    log.tickCount.fetch_add(1);
}

class ProgressTimer : public ::testing::Test {
protected:
    void SetUp() override { g_log = &log; }
    void TearDown() override { g_log = nullptr; }

    // Starts a timer with `period` that cancels itself at tick `ticks`,
    // waits for it, and returns the start time.
    Clock::time_point runTicks(milliseconds period, int ticks)
    {
        timer = kr::makeProgressTimer(period);
        log.timer = timer.get();
        log.cancelAtTick = ticks;
        const Clock::time_point started = Clock::now();
        EXPECT_TRUE(timer->start(&recordTick));
        timer->waitUntilStopped();
        return started;
    }

    TickLog log;
    std::unique_ptr<kr::ProgressTimer> timer;
};

TEST_F(ProgressTimer, TicksComeOnePeriodApartOnOneThreadOfTheirOwn)
{
    const milliseconds period(40);
    const Clock::time_point started = runTicks(period, 4);

    ASSERT_EQ(log.ticks.size(), 4u);
    EXPECT_EQ(log.afterCancel, 42) << "the wait ended before the last tick was done";
    EXPECT_FALSE(log.overlapped);
    EXPECT_GE(log.ticks[0] - started, period - milliseconds(2)) << "first tick came early";
    for (size_t i = 1; i < log.ticks.size(); ++i) {
        // Timers round to the system's clock tick; the order and a gap of
        // about one period are what matter.
        EXPECT_GE(log.ticks[i] - log.ticks[i - 1], period / 2) << "tick " << i;
    }
    for (size_t i = 0; i < log.threads.size(); ++i) {
        EXPECT_EQ(log.threads[i], log.threads[0]) << "tick " << i;
        EXPECT_NE(log.threads[i], std::this_thread::get_id()) << "tick " << i;
        EXPECT_NE(log.timerFired[i], 0) << "tick " << i;
    }
}

// The shipped period, checked loosely: the first tick not before about a
// second, the second about a second later.
TEST_F(ProgressTimer, DefaultPeriodIsOneSecond)
{
    EXPECT_EQ(kr::kProgressPollPeriod, milliseconds(1000));
    timer = kr::makeProgressTimer();
    log.timer = timer.get();
    log.cancelAtTick = 2;
    const Clock::time_point started = Clock::now();
    ASSERT_TRUE(timer->start(&recordTick));
    timer->waitUntilStopped();
    ASSERT_EQ(log.ticks.size(), 2u);
    EXPECT_GE(log.ticks[0] - started, milliseconds(990));
    EXPECT_LT(log.ticks[0] - started, milliseconds(1500));
    EXPECT_GE(log.ticks[1] - log.ticks[0], milliseconds(900));
    EXPECT_LT(log.ticks[1] - log.ticks[0], milliseconds(1500));
}

TEST_F(ProgressTimer, NoTickAfterTheCancellingOne)
{
    runTicks(milliseconds(5), 3);
    std::this_thread::sleep_for(milliseconds(60));
    EXPECT_EQ(log.tickCount.load(), 3);
    EXPECT_EQ(log.ticks.size(), 3u);
}

// A tick longer than the period delays the next one; none runs alongside.
TEST_F(ProgressTimer, SlowTicksNeverOverlap)
{
    log.tickDuration = milliseconds(25);
    runTicks(milliseconds(5), 5);
    EXPECT_EQ(log.ticks.size(), 5u);
    EXPECT_FALSE(log.overlapped);
    for (size_t i = 1; i < log.ticks.size(); ++i)
        EXPECT_GE(log.ticks[i] - log.ticks[i - 1], milliseconds(25)) << "tick " << i;
}

// Destroying a timer that no tick cancelled stops it, also while a tick runs.
TEST_F(ProgressTimer, DestroyingStopsTheTicks)
{
    for (milliseconds tickDuration : {milliseconds(0), milliseconds(30)}) {
        log.tickDuration = tickDuration;
        log.tickCount = 0;
        timer = kr::makeProgressTimer(milliseconds(5));
        log.timer = timer.get();
        ASSERT_TRUE(timer->start(&recordTick));
        while (log.tickCount.load() < 2)
            std::this_thread::sleep_for(milliseconds(1));
        timer.reset();
        const int ticksAtDestruction = log.tickCount.load();
        EXPECT_EQ(log.running.load(), 0) << "a tick outlived the timer";
        std::this_thread::sleep_for(milliseconds(40));
        EXPECT_EQ(log.tickCount.load(), ticksAtDestruction);
        log.ticks.clear();
        log.threads.clear();
        log.timerFired.clear();
    }
}

TEST_F(ProgressTimer, RefusesWhatItCannotRun)
{
    auto zeroPeriod = kr::makeProgressTimer(milliseconds(0));
    EXPECT_FALSE(zeroPeriod->start(&recordTick));
    auto noTick = kr::makeProgressTimer(milliseconds(5));
    EXPECT_FALSE(noTick->start(nullptr));

    // A timer starts once.
    timer = kr::makeProgressTimer(milliseconds(5));
    log.timer = timer.get();
    log.cancelAtTick = 1;
    ASSERT_TRUE(timer->start(&recordTick));
    EXPECT_FALSE(timer->start(&recordTick));
    timer->waitUntilStopped();
    EXPECT_EQ(log.ticks.size(), 1u);
}

} // namespace
