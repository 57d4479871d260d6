// The download of one payload to a device (docs/protocol.md, "What the host
// does"), run on the library's worker thread, and the state it shares with
// the threads that ask for progress and result.
#ifndef HIDDFU_DOWNLOAD_H
#define HIDDFU_DOWNLOAD_H

#include "dfu_channel.h"
#include "dfu_protocol.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace hiddfu {

// The bounds that make every download end in bounded time. The defaults are
// the documented ones; tests make them small.
struct Limits {
    // A longer bwPollTimeout from the device is cut to this.
    std::chrono::milliseconds pollTimeoutCap{10000};
    // The longest a device may stay busy with one block or with
    // manifestation, counted from the first GETSTATUS of that wait.
    std::chrono::milliseconds busyWaitCap{60000};
    // After a stop, the longest the worker waits for a device that is busy
    // with a block to take it, so that it can be left idle with ABORT.
    std::chrono::milliseconds stopSettleCap{2000};
};

// Progress and result of the current or last upgrade. The worker writes,
// any thread reads; nothing here blocks.
class UpgradeProgress {
public:
    UpgradeProgress();

    // Before a worker starts: `totalBytes` to go, nothing acknowledged.
    void begin(uint64_t totalBytes);
    // The worker: the device has acknowledged this many bytes in all.
    void acknowledge(uint64_t bytes);
    // The worker's last act: the upgrade has ended with `result`.
    void finish(int32_t result);
    // No upgrade has run; result() gives `result`.
    void clear(int32_t result);

    bool running() const { return m_running.load(std::memory_order_acquire); }
    // 0 to 99 while running, 100 once ended (or when none runs).
    uint8_t percent() const;
    // The result of the ended upgrade; kUpgradeRunning while one runs.
    int32_t result() const;

private:
    std::atomic<uint64_t> m_total;
    std::atomic<uint64_t> m_acknowledged;
    std::atomic<int32_t> m_result;
    std::atomic<bool> m_running;
};

// Asks a running download to stop; wakes it from its poll waits.
class StopSignal {
public:
    void request();
    void clear();
    bool requested() const;
    // Sleeps `duration`, or less when a stop is requested meanwhile. True
    // when a stop has been requested.
    bool sleepFor(std::chrono::milliseconds duration);

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
};

class Download {
public:
    Download(DfuChannel& channel, const uint8_t* payload, size_t size, uint16_t transferSize,
             const Limits& limits, UpgradeProgress& progress, StopSignal& stop);

    // Runs the whole download; returns the result (results.h).
    int32_t run();

private:
    int32_t bringToIdle();
    int32_t downloadBlocks();
    int32_t manifest();
    int32_t sendOrExplain(Request request, uint16_t value, const uint8_t* data, uint16_t length);
    int32_t fetchStatus(DeviceStatus* status);
    int32_t endWithDeviceError(const DeviceStatus& status);
    int32_t pollWhile(bool (*busy)(State), DeviceStatus* status);
    int32_t pause(uint32_t pollTimeoutMs);
    void settleAfterStop();

    DfuChannel& m_channel;
    const uint8_t* m_payload;
    size_t m_size;
    uint16_t m_transferSize;
    Limits m_limits;
    UpgradeProgress& m_progress;
    StopSignal& m_stop;
    uint16_t m_nextBlock = 0;
    State m_lastState = State::kDfuIdle;
    uint32_t m_lastPollTimeoutMs = 0;
};

} // namespace hiddfu

#endif
