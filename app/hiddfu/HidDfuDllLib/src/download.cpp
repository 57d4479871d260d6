#include "download.h"

#include "results.h"

#include <algorithm>
#include <thread>

namespace hiddfu {

namespace {

// Requests that bring a device out of a state that is not dfuIDLE (and not
// busy): each try is one GETSTATUS and one CLRSTATUS or ABORT. Two would do for any state;
// the third gives a device that passes through dfuERROR on the way room.
const int kIdleAttempts = 3;

bool downloadBusy(State state)
{
    // dfuDNLOAD-SYNC after a GETSTATUS is unusual (the device should have
    // moved on to dfuDNBUSY or dfuDNLOAD-IDLE); it is waited out the same way.
    return state == State::kDnBusy || state == State::kDnloadSync;
}

bool manifesting(State state)
{
    return state == State::kManifestSync || state == State::kManifest;
}

} // namespace

UpgradeProgress::UpgradeProgress()
    : m_total(0), m_acknowledged(0), m_result(result::kNotConnected), m_running(false)
{
}

void UpgradeProgress::begin(uint64_t totalBytes)
{
    m_total.store(totalBytes, std::memory_order_relaxed);
    m_acknowledged.store(0, std::memory_order_relaxed);
    m_result.store(result::kUpgradeRunning, std::memory_order_relaxed);
    m_running.store(true, std::memory_order_release);
}

void UpgradeProgress::acknowledge(uint64_t bytes)
{
    m_acknowledged.store(bytes, std::memory_order_relaxed);
}

void UpgradeProgress::finish(int32_t result)
{
    m_result.store(result, std::memory_order_relaxed);
    m_running.store(false, std::memory_order_release);
}

void UpgradeProgress::clear(int32_t result)
{
    m_total.store(0, std::memory_order_relaxed);
    m_acknowledged.store(0, std::memory_order_relaxed);
    m_result.store(result, std::memory_order_relaxed);
    m_running.store(false, std::memory_order_release);
}

uint8_t UpgradeProgress::percent() const
{
    if (!running())
        return 100;
    const uint64_t total = m_total.load(std::memory_order_relaxed);
    const uint64_t acknowledged = m_acknowledged.load(std::memory_order_relaxed);
    if (total == 0)
        return 0;
    // 100 is kept for the end: the last block is acknowledged before
    // manifestation, which may still fail.
    return static_cast<uint8_t>(std::min<uint64_t>(acknowledged * 100 / total, 99));
}

int32_t UpgradeProgress::result() const
{
    // The acquire of running() makes the worker's result visible.
    if (running())
        return result::kUpgradeRunning;
    return m_result.load(std::memory_order_relaxed);
}

void StopSignal::request()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
}

void StopSignal::clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stop = false;
}

bool StopSignal::requested() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stop;
}

bool StopSignal::sleepFor(std::chrono::milliseconds duration)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_wake.wait_for(lock, duration, [this] { return m_stop; });
}

Download::Download(DfuChannel& channel, const uint8_t* payload, size_t size, uint16_t transferSize,
                   const Limits& limits, UpgradeProgress& progress, StopSignal& stop)
    : m_channel(channel), m_payload(payload), m_size(size), m_transferSize(transferSize),
      m_limits(limits), m_progress(progress), m_stop(stop)
{
}

int32_t Download::run()
{
    int32_t outcome = bringToIdle();
    if (outcome == result::kSuccess)
        outcome = downloadBlocks();
    if (outcome == result::kSuccess)
        outcome = manifest();
    // Stopped: leave the device idle for the next host. ABORT is only valid
    // between blocks (dfuDNLOAD-IDLE); in any other state it would stall, so
    // a device still busy with a block is first given time to take it.
    // Manifestation is not interrupted: the device finishes it by itself.
    if (outcome == result::kCancelled) {
        if (downloadBusy(m_lastState))
            settleAfterStop();
        if (m_lastState == State::kDnloadIdle)
            m_channel.send(Request::kAbort, 0);
    }
    return outcome;
}

// GETSTATUS after the device's poll timeout until it is no longer busy with
// the block, for at most stopSettleCap. The stop is not looked at here: it is
// why we are waiting.
void Download::settleAfterStop()
{
    const auto giveUp = std::chrono::steady_clock::now() + m_limits.stopSettleCap;
    for (;;) {
        const auto wait = std::min<std::chrono::milliseconds>(
            std::chrono::milliseconds(m_lastPollTimeoutMs), m_limits.pollTimeoutCap);
        if (std::chrono::steady_clock::now() + wait > giveUp)
            return;
        std::this_thread::sleep_for(wait);
        DeviceStatus status;
        if (fetchStatus(&status) != result::kSuccess || !downloadBusy(status.state))
            return;
    }
}

// The device must be in dfuIDLE before the first DNLOAD: an earlier host may
// have left it in dfuERROR (CLRSTATUS) or in the middle of a download
// (ABORT). A request refused on the way leaves the device in dfuERROR,
// which the next round clears. A device still busy with an earlier host's
// block or manifestation (a run stopped during manifestation leaves it so)
// is left to finish first, polled after its poll timeout up to the busy
// limit: ABORT would stall there, and the device may refuse a new download
// until the work it was doing is done.
int32_t Download::bringToIdle()
{
    const auto start = std::chrono::steady_clock::now();
    int attempts = 0;
    for (;;) {
        DeviceStatus status;
        const StatusOutcome outcome = m_channel.getStatus(&status);
        if (outcome == StatusOutcome::kFailed)
            return result::kDeviceLost;
        if (outcome == StatusOutcome::kMalformed)
            return result::kProtocolViolation;
        m_lastState = status.state;
        if (status.state == State::kDfuIdle)
            return result::kSuccess;
        if (downloadBusy(status.state) || manifesting(status.state)) {
            if (std::chrono::steady_clock::now() - start >= m_limits.busyWaitCap)
                return result::kTimedOut;
            if (pause(status.pollTimeoutMs) != result::kSuccess)
                return result::kCancelled;
            continue;
        }
        m_channel.send(status.state == State::kDfuError ? Request::kClrStatus : Request::kAbort, 0);
        if (++attempts == kIdleAttempts)
            return result::kProtocolViolation;
    }
}

int32_t Download::downloadBlocks()
{
    size_t sent = 0;
    while (sent < m_size) {
        if (m_stop.requested())
            return result::kCancelled;
        const auto length = static_cast<uint16_t>(std::min<size_t>(m_transferSize, m_size - sent));
        int32_t outcome = sendOrExplain(Request::kDnload, m_nextBlock, m_payload + sent, length);
        DeviceStatus status;
        if (outcome == result::kSuccess)
            outcome = pollWhile(downloadBusy, &status);
        if (outcome != result::kSuccess)
            return outcome;
        if (status.state != State::kDnloadIdle)
            return result::kProtocolViolation;
        sent += length;
        ++m_nextBlock;  // wraps at 65536, as the 16-bit wValue does
        m_progress.acknowledge(sent);
    }
    return result::kSuccess;
}

// The zero-length DNLOAD ends the download; the device then manifests the
// image and ends in dfuIDLE (manifestation tolerant) or
// dfuMANIFEST-WAIT-RESET.
int32_t Download::manifest()
{
    if (m_stop.requested())
        return result::kCancelled;
    DeviceStatus status;
    int32_t outcome = sendOrExplain(Request::kDnload, m_nextBlock, nullptr, 0);
    if (outcome == result::kSuccess)
        outcome = pollWhile(manifesting, &status);
    if (outcome != result::kSuccess)
        return outcome;
    if (status.state != State::kDfuIdle && status.state != State::kManifestWaitReset)
        return result::kProtocolViolation;
    return result::kSuccess;
}

// A request whose feature report fails was either refused by the device (it
// stalls and enters dfuERROR) or never arrived; GETSTATUS tells which.
int32_t Download::sendOrExplain(Request request, uint16_t value, const uint8_t* data, uint16_t length)
{
    if (m_channel.send(request, value, data, length))
        return result::kSuccess;
    DeviceStatus status;
    if (m_channel.getStatus(&status) == StatusOutcome::kOk && status.state == State::kDfuError)
        return endWithDeviceError(status);
    return result::kDeviceLost;
}

// GETSTATUS, with dfuERROR ending the download.
int32_t Download::fetchStatus(DeviceStatus* status)
{
    const StatusOutcome outcome = m_channel.getStatus(status);
    if (outcome == StatusOutcome::kFailed)
        return result::kDeviceLost;
    if (outcome == StatusOutcome::kMalformed)
        return result::kProtocolViolation;
    m_lastState = status->state;
    m_lastPollTimeoutMs = status->pollTimeoutMs;
    if (status->state == State::kDfuError)
        return endWithDeviceError(*status);
    // Outside dfuERROR a device has nothing to report but OK.
    if (status->status != kStatusOk)
        return result::kProtocolViolation;
    return result::kSuccess;
}

// The device reported an error: that status is the result, and CLRSTATUS
// leaves the device in dfuIDLE for another try. A dfuERROR that claims
// status OK names no error and breaks the protocol.
int32_t Download::endWithDeviceError(const DeviceStatus& status)
{
    m_channel.send(Request::kClrStatus, 0);
    return status.status == kStatusOk ? result::kProtocolViolation : status.status;
}

// GETSTATUS until the state is no longer one of `busy`, waiting the device's
// poll timeout (capped) before each further GETSTATUS, and giving up once the
// device has been busy longer than the cap.
int32_t Download::pollWhile(bool (*busy)(State), DeviceStatus* status)
{
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const int32_t outcome = fetchStatus(status);
        if (outcome != result::kSuccess || !busy(status->state))
            return outcome;
        if (std::chrono::steady_clock::now() - start >= m_limits.busyWaitCap)
            return result::kTimedOut;
        if (pause(status->pollTimeoutMs) != result::kSuccess)
            return result::kCancelled;
    }
}

int32_t Download::pause(uint32_t pollTimeoutMs)
{
    const auto wait = std::min<std::chrono::milliseconds>(std::chrono::milliseconds(pollTimeoutMs),
                                                          m_limits.pollTimeoutCap);
    return m_stop.sleepFor(wait) ? result::kCancelled : result::kSuccess;
}

} // namespace hiddfu
