// The simulated device's firmware around the device core: an in-memory
// flash (and optionally a file), a clock that decides when a write or the
// manifestation is done, and the injected faults. The core answers every
// feature report; DETACH is the device's reset and brings it back to
// dfuIDLE.
#include "dfu_machine.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <utility>

namespace sim {

namespace {

const char kVersionPrefix[] = "hiddfu-sim firmware ";
const size_t kVersionLineLimit = 64;
const size_t kVersionMaxLength = 40;

bool isVersionCharacter(char c)
{
    return c > ' ' && c <= '~';
}

uint16_t boundedTransferSize(uint16_t requested)
{
    return std::clamp<uint16_t>(requested, 1, dfu::kMaxTransferSize);
}

} // namespace

std::string firmwareVersionOf(const std::vector<uint8_t>& image)
{
    const size_t prefixLength = sizeof(kVersionPrefix) - 1;
    const size_t searched = std::min(image.size(), kVersionLineLimit);
    const auto begin = image.begin();
    const auto lineEnd = std::find(begin, begin + static_cast<std::ptrdiff_t>(searched), uint8_t{'\n'});
    if (lineEnd == begin + static_cast<std::ptrdiff_t>(searched))
        return std::string();
    const std::string line(begin, lineEnd);
    if (line.compare(0, prefixLength, kVersionPrefix) != 0 || line.size() <= prefixLength)
        return std::string();
    const std::string version = line.substr(prefixLength);
    if (version.size() > kVersionMaxLength ||
        !std::all_of(version.begin(), version.end(), isVersionCharacter))
        return std::string();
    return version;
}

bool writeFileAtomically(const std::string& path, const std::vector<uint8_t>& content)
{
    const std::string temporary = path + ".tmp";
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(content.data()),
                   static_cast<std::streamsize>(content.size()));
        file.close();
        if (!file) {
            std::error_code ignored;
            std::filesystem::remove(temporary, ignored);
            return false;
        }
    }
    std::error_code error;
    std::filesystem::rename(temporary, path, error);
    if (error) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        return false;
    }
    return true;
}

DfuMachine::DfuMachine(DfuConfig config)
    : m_config(std::move(config))
{
    m_config.transferSize = boundedTransferSize(m_config.transferSize);
    uint8_t attributes = 0;
    if (m_config.canDownload)
        attributes |= dfu::kAttrCanDownload;
    if (m_config.manifestationTolerant)
        attributes |= dfu::kAttrManifestationTolerant;
    if (m_config.willDetach)
        attributes |= dfu::kAttrWillDetach;
    m_coreConfig.write = &DfuMachine::writeBlock;
    m_coreConfig.manifest = &DfuMachine::manifest;
    m_coreConfig.detach = &DfuMachine::detach;
    m_coreConfig.poll_timeout = &DfuMachine::pollTimeout;
    m_coreConfig.transfer_size = m_config.transferSize;
    m_coreConfig.detach_timeout_ms = m_config.detachTimeoutMs;
    m_coreConfig.attributes = attributes;
    m_coreConfig.write_poll_ms = m_config.pollTimeoutMs;
    m_coreConfig.manifest_poll_ms = m_config.manifestTimeoutMs;
    m_transferBuffer.resize(m_config.transferSize);
    // The configuration is valid by construction: a bounded transfer size
    // and both required callbacks.
    hiddfu_dev_init(&m_core, &m_coreConfig, m_transferBuffer.data(), this);
}

DfuMachine::DfuMachine(const DfuMachine& other)
    : m_config(other.m_config), m_coreConfig(other.m_coreConfig),
      m_transferBuffer(other.m_transferBuffer), m_core(other.m_core), m_pending(other.m_pending),
      m_pendingMs(other.m_pendingMs), m_clockRunning(other.m_clockRunning),
      m_deadlineMs(other.m_deadlineMs), m_blocks(other.m_blocks),
      m_firstBlockAt(other.m_firstBlockAt), m_lastBlockAt(other.m_lastBlockAt),
      m_lastDownload(other.m_lastDownload),
      m_garbageActive(other.m_garbageActive), m_silent(other.m_silent), m_gone(other.m_gone),
      m_download(other.m_download), m_flash(other.m_flash), m_version(other.m_version),
      m_manifestations(other.m_manifestations), m_earlyPolls(other.m_earlyPolls),
      m_restarts(other.m_restarts), m_restartRequest(other.m_restartRequest)
{
    bindCore();
}

// The core's context holds pointers to its configuration, buffer and user:
// a copy points them at its own.
void DfuMachine::bindCore()
{
    m_core.config = &m_coreConfig;
    m_core.buffer = m_transferBuffer.data();
    m_core.user = this;
}

uint16_t DfuMachine::requestReportLength() const
{
    if (!m_config.enabled)
        return 0;
    return static_cast<uint16_t>(dfu::kRequestHeaderBytes + m_config.transferSize);
}

bool DfuMachine::loadFlash()
{
    if (m_config.flashPath.empty())
        return true;
    std::error_code error;
    if (!std::filesystem::exists(m_config.flashPath, error))
        return !error;
    std::ifstream file(m_config.flashPath, std::ios::binary);
    std::vector<uint8_t> image((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad() || !file.is_open())
        return false;
    m_flash = std::move(image);
    m_version = firmwareVersionOf(m_flash);
    return true;
}

std::optional<uint32_t> DfuMachine::takeRestartRequest()
{
    std::optional<uint32_t> request;
    std::swap(request, m_restartRequest);
    return request;
}

uint64_t DfuMachine::now() const
{
    if (m_config.clockMs)
        return m_config.clockMs();
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// The operation's time starts with the GETSTATUS that first announces it
// (the first poll timeout the core asks for), so the host is told the whole
// duration however late it asks.
void DfuMachine::startPending(Pending operation, uint32_t durationMs)
{
    m_pending = operation;
    m_pendingMs = durationMs;
    m_clockRunning = false;
}

// The device works on its own between requests: a block written or a
// manifestation finished shows once its time has passed, at the next
// request.
void DfuMachine::advance()
{
    if (m_pending == Pending::kNone || !m_clockRunning || now() < m_deadlineMs)
        return;
    if (m_pending == Pending::kWrite && m_config.busyForever)
        return;
    const Pending finished = m_pending;
    m_pending = Pending::kNone;
    hiddfu_dev_complete(&m_core, finished == Pending::kWrite ? int{dfu::kOk} : completeManifestation());
}

// One block, in order: the faults tied to a block strike when it arrives.
int DfuMachine::writeBlock(void* user, uint32_t offset, const uint8_t* data, uint16_t length)
{
    DfuMachine& machine = *static_cast<DfuMachine*>(user);
    if (offset == 0) {
        machine.m_download.clear();
        machine.m_blocks = 0;
    }
    const uint32_t index = machine.m_blocks;
    const DfuConfig& config = machine.m_config;
    if (config.vanishAtBlock && *config.vanishAtBlock == index) {
        machine.m_gone = true;
        return HIDDFU_DEV_PENDING;  // never answered: the device is gone
    }
    if (config.silentAtBlock && *config.silentAtBlock == index) {
        machine.m_silent = true;
        return HIDDFU_DEV_PENDING;
    }
    machine.m_garbageActive = true;
    if (config.failAtBlock && *config.failAtBlock == index)
        return config.failStatus;
    machine.m_download.insert(machine.m_download.end(), data, data + length);
    // Real time, not the injectable clock: this measures the host.
    machine.m_lastBlockAt = std::chrono::steady_clock::now();
    if (machine.m_blocks == 0)
        machine.m_firstBlockAt = machine.m_lastBlockAt;
    ++machine.m_blocks;
    if (config.pollTimeoutMs == 0 && !config.busyForever)
        return dfu::kOk;
    machine.startPending(Pending::kWrite, config.pollTimeoutMs);
    return HIDDFU_DEV_PENDING;
}

int DfuMachine::manifest(void* user, uint32_t /*imageLength*/)
{
    DfuMachine& machine = *static_cast<DfuMachine*>(user);
    if (machine.m_config.manifestTimeoutMs == 0)
        return machine.completeManifestation();
    machine.startPending(Pending::kManifest, machine.m_config.manifestTimeoutMs);
    return HIDDFU_DEV_PENDING;
}

void DfuMachine::detach(void* user, uint16_t timeoutMs)
{
    DfuMachine& machine = *static_cast<DfuMachine*>(user);
    machine.restart();
    ++machine.m_restarts;
    machine.m_restartRequest = timeoutMs;
}

// The time left of the pending operation; a device busy forever keeps
// asking for its whole poll timeout.
uint32_t DfuMachine::pollTimeout(void* user)
{
    DfuMachine& machine = *static_cast<DfuMachine*>(user);
    if (machine.m_pending == Pending::kWrite && machine.m_config.busyForever)
        return machine.m_config.pollTimeoutMs;
    const uint64_t current = machine.now();
    if (!machine.m_clockRunning) {
        machine.m_clockRunning = true;
        machine.m_deadlineMs = current + machine.m_pendingMs;
    }
    return machine.m_deadlineMs > current ? static_cast<uint32_t>(machine.m_deadlineMs - current) : 0;
}

// The firmware starts again: whatever was in progress is dropped, the flash
// stays. The core has reset itself.
void DfuMachine::restart()
{
    m_pending = Pending::kNone;
    m_download.clear();
    m_blocks = 0;
    m_garbageActive = false;
}

// Back in dfuIDLE after ABORT or CLRSTATUS, the core has abandoned the
// download: so does the device. (In dfuERROR what was taken stays visible
// to the tests.)
void DfuMachine::dropAbandonedDownload()
{
    if (hiddfu_dev_state(&m_core) == dfu::kIdle && hiddfu_dev_downloaded(&m_core) < m_download.size()) {
        m_download.resize(hiddfu_dev_downloaded(&m_core));
        m_blocks = 0;
    }
}

// The downloaded image becomes the flash; the status for the core.
uint8_t DfuMachine::completeManifestation()
{
    if (!m_config.flashPath.empty() && !writeFileAtomically(m_config.flashPath, m_download))
        return dfu::kErrProg;
    m_lastDownload.blocks = m_blocks;
    m_lastDownload.bytes = m_download.size();
    m_lastDownload.firstToLast = m_blocks == 0 ? std::chrono::microseconds(0)
        : std::chrono::duration_cast<std::chrono::microseconds>(m_lastBlockAt - m_firstBlockAt);
    m_flash = std::move(m_download);
    m_download.clear();
    m_blocks = 0;
    const std::string version = firmwareVersionOf(m_flash);
    if (!version.empty())
        m_version = version;
    ++m_manifestations;
    return dfu::kOk;
}

// Only where the next request is that block's DNLOAD: between blocks, or in
// dfuIDLE for block 0. In dfuERROR the host's CLRSTATUS goes through.
bool DfuMachine::refusesSetBeforeData(uint8_t reportId) const
{
    if (!m_config.enabled || m_gone || m_silent || reportId != dfu::kRequestReportId ||
        !m_config.stallAtBlock || *m_config.stallAtBlock != m_blocks)
        return false;
    const uint8_t state = hiddfu_dev_state(&m_core);
    return state == dfu::kDnloadIdle || (state == dfu::kIdle && m_blocks == 0);
}

FeatureOutcome DfuMachine::setReport(const uint8_t* report, size_t length)
{
    if (!m_config.enabled || length == 0)
        return FeatureOutcome::kStalled;
    if (m_gone)
        return FeatureOutcome::kGone;
    if (m_silent)
        return FeatureOutcome::kUnanswered;
    if (refusesSetBeforeData(report[0])) {
        transportStall();
        return FeatureOutcome::kStalled;
    }
    advance();
    const hiddfu_dev_result result = hiddfu_hid_set_report(&m_core, report, length);
    dropAbandonedDownload();
    if (m_gone)
        return FeatureOutcome::kGone;
    if (m_silent)
        return FeatureOutcome::kUnanswered;
    return result == HIDDFU_DEV_ACCEPT ? FeatureOutcome::kDone : FeatureOutcome::kStalled;
}

FeatureOutcome DfuMachine::getReport(uint8_t reportId, std::vector<uint8_t>* reply)
{
    if (!m_config.enabled)
        return FeatureOutcome::kStalled;
    if (m_gone)
        return FeatureOutcome::kGone;
    if (m_silent)
        return FeatureOutcome::kUnanswered;
    advance();
    // A GETSTATUS while the device is still busy comes before the time it
    // announced (a device busy forever is never done, so never early).
    const uint8_t state = hiddfu_dev_state(&m_core);
    if (reportId == dfu::kStatusReportId &&
        ((state == dfu::kDnBusy && !m_config.busyForever) || state == dfu::kManifest))
        ++m_earlyPolls;
    uint8_t report[HIDDFU_HID_MAX_GET_LENGTH];
    size_t length = 0;
    if (hiddfu_hid_get_report(&m_core, reportId, report, sizeof report, &length) != HIDDFU_DEV_ACCEPT)
        return FeatureOutcome::kStalled;
    dropAbandonedDownload();
    reply->assign(report, report + length);
    if (reportId == dfu::kStatusReportId)
        *reply = garbled(std::move(*reply));
    return FeatureOutcome::kDone;
}

FeatureOutcome DfuMachine::classRequest(const hiddfu_dev_setup& setup, const uint8_t* data,
                                        std::vector<uint8_t>* reply)
{
    if (!m_config.enabled)
        return FeatureOutcome::kStalled;
    if (m_gone)
        return FeatureOutcome::kGone;
    if (m_silent)
        return FeatureOutcome::kUnanswered;
    advance();
    const uint8_t state = hiddfu_dev_state(&m_core);
    if (setup.request == dfu::kGetStatus &&
        ((state == dfu::kDnBusy && !m_config.busyForever) || state == dfu::kManifest))
        ++m_earlyPolls;
    std::vector<uint8_t> answer(setup.to_host ? setup.length : 0);
    uint16_t answerLength = 0;
    const hiddfu_dev_result result =
        hiddfu_dev_request(&m_core, &setup, data, answer.data(), &answerLength);
    dropAbandonedDownload();
    if (m_gone)
        return FeatureOutcome::kGone;
    if (m_silent)
        return FeatureOutcome::kUnanswered;
    if (result != HIDDFU_DEV_ACCEPT)
        return FeatureOutcome::kStalled;
    answer.resize(answerLength);
    *reply = std::move(answer);
    return FeatureOutcome::kDone;
}

void DfuMachine::transportStall()
{
    hiddfu_dev_stall(&m_core);
    dropAbandonedDownload();
}

// The status report as the garbage fault spoils it, from the first block on.
std::vector<uint8_t> DfuMachine::garbled(std::vector<uint8_t> statusReport) const
{
    if (m_garbageActive && m_config.garbage == StatusGarbage::kStateOutOfRange)
        statusReport[5] = dfu::kGarbageState;
    if (m_garbageActive && m_config.garbage == StatusGarbage::kShortReport)
        statusReport.resize(dfu::kShortStatusReportBytes);
    return statusReport;
}

} // namespace sim
