// The DFU state machine of the simulated device. The transitions follow DFU
// 1.1 with the device idling in dfuIDLE (it serves its application and DFU
// on one interface). DETACH is the device's reset: it is accepted in every
// state and brings the machine back to dfuIDLE.
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

uint16_t little16(const uint8_t* bytes)
{
    return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

void putLittle16(std::vector<uint8_t>& out, uint16_t value)
{
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

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

DfuMachine::DfuMachine(DfuConfig config) : m_config(std::move(config))
{
    m_config.transferSize = boundedTransferSize(m_config.transferSize);
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

// The device works on its own between requests: a written block or finished
// manifestation shows once its time has passed, at the next request.
void DfuMachine::advance()
{
    if (m_state == dfu::kDnBusy && !m_config.busyForever && now() >= m_deadlineMs) {
        m_state = dfu::kDnloadSync;
        m_blockComplete = true;
    } else if (m_state == dfu::kManifest && now() >= m_deadlineMs) {
        completeManifestation();
    }
}

uint32_t DfuMachine::remainingMs() const
{
    const uint64_t current = now();
    return m_deadlineMs > current ? static_cast<uint32_t>(m_deadlineMs - current) : 0;
}

void DfuMachine::enterError(uint8_t status)
{
    m_state = dfu::kError;
    m_status = status;
}

// A request the state does not accept: the transfer fails and the machine
// enters dfuERROR. A machine already in dfuERROR keeps the status that put
// it there, so the host learns the first cause.
FeatureOutcome DfuMachine::stall()
{
    if (m_state != dfu::kError)
        enterError(dfu::kErrStalledPkt);
    return FeatureOutcome::kStalled;
}

FeatureOutcome DfuMachine::setReport(const uint8_t* report, size_t length)
{
    if (!m_config.enabled || length == 0)
        return FeatureOutcome::kStalled;
    if (m_gone)
        return FeatureOutcome::kGone;
    if (m_silent)
        return FeatureOutcome::kUnanswered;
    if (report[0] != dfu::kRequestReportId)
        return FeatureOutcome::kStalled;  // not a request report: no DFU request at all
    advance();
    if (length < dfu::kRequestHeaderBytes)
        return stall();
    const uint16_t dataLength = little16(report + 4);
    if (dataLength > m_config.transferSize || dfu::kRequestHeaderBytes + dataLength > length)
        return stall();
    return onRequest(report[1], little16(report + 2), report + dfu::kRequestHeaderBytes, dataLength);
}

FeatureOutcome DfuMachine::onRequest(uint8_t request, uint16_t value, const uint8_t* data,
                                     uint16_t length)
{
    switch (request) {
    case dfu::kDnload:
        return onDownload(value, data, length);
    case dfu::kClrStatus:
        return length == 0 ? onClearStatus() : stall();
    case dfu::kAbort:
        return length == 0 ? onAbort() : stall();
    case dfu::kDetach:
        return length == 0 ? onDetach(value) : stall();
    default:  // UPLOAD is not supported; GETSTATUS and GETSTATE are gets
        return stall();
    }
}

FeatureOutcome DfuMachine::onDownload(uint16_t blockNumber, const uint8_t* data, uint16_t length)
{
    if (!m_config.canDownload)
        return stall();
    if (m_state == dfu::kDnloadIdle && length == 0) {
        m_state = dfu::kManifestSync;
        m_manifestDone = false;
        return FeatureOutcome::kDone;
    }
    if (length == 0 || (m_state != dfu::kIdle && m_state != dfu::kDnloadIdle))
        return stall();
    if (m_state == dfu::kIdle) {
        m_download.clear();
        m_blocks = 0;
    }
    return onDownloadBlock(blockNumber, data, length);
}

// One block with data, in dfuIDLE (the first) or dfuDNLOAD-IDLE. The faults
// tied to a block strike when it arrives.
FeatureOutcome DfuMachine::onDownloadBlock(uint16_t blockNumber, const uint8_t* data, uint16_t length)
{
    const uint32_t index = m_blocks;
    if (m_config.vanishAtBlock && *m_config.vanishAtBlock == index) {
        m_gone = true;
        return FeatureOutcome::kGone;
    }
    if (m_config.silentAtBlock && *m_config.silentAtBlock == index) {
        m_silent = true;
        return FeatureOutcome::kUnanswered;
    }
    m_garbageActive = true;
    if (blockNumber != static_cast<uint16_t>(index)) {
        enterError(dfu::kErrAddress);
        return FeatureOutcome::kDone;
    }
    if (m_config.failAtBlock && *m_config.failAtBlock == index) {
        enterError(m_config.failStatus);
        return FeatureOutcome::kDone;
    }
    m_download.insert(m_download.end(), data, data + length);
    ++m_blocks;
    m_state = dfu::kDnloadSync;
    m_blockComplete = m_config.pollTimeoutMs == 0 && !m_config.busyForever;
    return FeatureOutcome::kDone;
}

FeatureOutcome DfuMachine::onClearStatus()
{
    if (m_state != dfu::kError)
        return stall();
    m_state = dfu::kIdle;
    m_status = dfu::kOk;
    m_download.clear();
    m_blocks = 0;
    return FeatureOutcome::kDone;
}

FeatureOutcome DfuMachine::onAbort()
{
    if (m_state != dfu::kIdle && m_state != dfu::kDnloadIdle)
        return stall();
    m_state = dfu::kIdle;
    m_download.clear();
    m_blocks = 0;
    return FeatureOutcome::kDone;
}

FeatureOutcome DfuMachine::onDetach(uint16_t timeoutMs)
{
    restart();
    ++m_restarts;
    m_restartRequest = std::min<uint32_t>(timeoutMs, m_config.detachTimeoutMs);
    return FeatureOutcome::kDone;
}

// The firmware starts again: whatever was in progress is dropped, the flash
// stays.
void DfuMachine::restart()
{
    m_state = dfu::kIdle;
    m_status = dfu::kOk;
    m_download.clear();
    m_blocks = 0;
    m_blockComplete = false;
    m_manifestDone = false;
    m_garbageActive = false;
}

void DfuMachine::completeManifestation()
{
    if (!m_config.flashPath.empty() && !writeFileAtomically(m_config.flashPath, m_download)) {
        enterError(dfu::kErrProg);
        return;
    }
    m_flash = std::move(m_download);
    m_download.clear();
    m_blocks = 0;
    const std::string version = firmwareVersionOf(m_flash);
    if (!version.empty())
        m_version = version;
    ++m_manifestations;
    if (m_config.manifestationTolerant) {
        m_state = dfu::kManifestSync;
        m_manifestDone = true;
    } else {
        m_state = dfu::kManifestWaitReset;
    }
}

// GETSTATUS: the state it answers is the state the device enters with it.
void DfuMachine::onGetStatus(uint32_t* pollTimeoutMs)
{
    *pollTimeoutMs = 0;
    switch (m_state) {
    case dfu::kDnloadSync:
        if (m_blockComplete) {
            m_state = dfu::kDnloadIdle;
        } else {
            m_state = dfu::kDnBusy;
            m_deadlineMs = now() + m_config.pollTimeoutMs;
            *pollTimeoutMs = m_config.pollTimeoutMs;
        }
        break;
    case dfu::kDnBusy:  // still busy: advance() did not end it
        if (m_config.busyForever) {
            *pollTimeoutMs = m_config.pollTimeoutMs;
        } else {
            ++m_earlyPolls;
            *pollTimeoutMs = remainingMs();
        }
        break;
    case dfu::kManifestSync:
        if (m_manifestDone) {
            m_manifestDone = false;
            m_state = dfu::kIdle;
        } else {
            m_state = dfu::kManifest;
            m_deadlineMs = now() + m_config.manifestTimeoutMs;
            *pollTimeoutMs = m_config.manifestTimeoutMs;
        }
        break;
    case dfu::kManifest:  // still manifesting
        ++m_earlyPolls;
        *pollTimeoutMs = remainingMs();
        break;
    default:
        break;
    }
}

FeatureOutcome DfuMachine::getReport(uint8_t reportId, std::vector<uint8_t>* reply)
{
    if (!m_config.enabled)
        return FeatureOutcome::kStalled;
    if (m_gone)
        return FeatureOutcome::kGone;
    if (m_silent)
        return FeatureOutcome::kUnanswered;
    switch (reportId) {
    case dfu::kStatusReportId: {
        advance();
        uint32_t pollTimeoutMs = 0;
        onGetStatus(&pollTimeoutMs);
        *reply = statusReport(pollTimeoutMs);
        return FeatureOutcome::kDone;
    }
    case dfu::kFunctionalReportId:
        *reply = functionalReport();
        return FeatureOutcome::kDone;
    case dfu::kStateReportId:
        advance();
        *reply = {dfu::kStateReportId, m_state};
        return FeatureOutcome::kDone;
    default:  // the request report cannot be read; other ids do not exist
        return FeatureOutcome::kStalled;
    }
}

std::vector<uint8_t> DfuMachine::statusReport(uint32_t pollTimeoutMs) const
{
    const uint32_t poll = std::min<uint32_t>(pollTimeoutMs, 0xFFFFFF);
    std::vector<uint8_t> report = {dfu::kStatusReportId,
                                   m_status,
                                   static_cast<uint8_t>(poll & 0xFF),
                                   static_cast<uint8_t>((poll >> 8) & 0xFF),
                                   static_cast<uint8_t>(poll >> 16),
                                   m_state,
                                   0};
    if (m_garbageActive && m_config.garbage == StatusGarbage::kStateOutOfRange)
        report[5] = dfu::kGarbageState;
    if (m_garbageActive && m_config.garbage == StatusGarbage::kShortReport)
        report.resize(dfu::kShortStatusReportBytes);
    return report;
}

std::vector<uint8_t> DfuMachine::functionalReport() const
{
    uint8_t attributes = 0;
    if (m_config.canDownload)
        attributes |= dfu::kAttrCanDownload;
    if (m_config.manifestationTolerant)
        attributes |= dfu::kAttrManifestationTolerant;
    if (m_config.willDetach)
        attributes |= dfu::kAttrWillDetach;
    std::vector<uint8_t> report = {dfu::kFunctionalReportId, attributes};
    putLittle16(report, m_config.detachTimeoutMs);
    putLittle16(report, m_config.transferSize);
    putLittle16(report, dfu::kBcdDfu);
    return report;
}

} // namespace sim
