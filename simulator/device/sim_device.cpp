// The simulated device's behaviour: its report descriptor, its answers to
// control requests, and its feature reports, which the DFU machine serves.
// Everything here is plain data in, plain data out, so the same model serves
// the uhid program and the in-process test backend.
#include "sim_device.h"

#include <algorithm>
#include <utility>

namespace sim {

namespace {

const uint8_t kControlReportId = 1;

// Short items of the HID report descriptor (item tag | type | size).
const uint8_t kUsagePage16 = 0x06;
const uint8_t kUsage8 = 0x09;
const uint8_t kCollection8 = 0xA1;
const uint8_t kEndCollection = 0xC0;
const uint8_t kReportId8 = 0x85;
const uint8_t kLogicalMinimum8 = 0x15;
const uint8_t kLogicalMaximum16 = 0x26;
const uint8_t kReportSize8 = 0x75;
const uint8_t kReportCount8 = 0x95;
const uint8_t kReportCount16 = 0x96;
const uint8_t kInput8 = 0x81;
const uint8_t kOutput8 = 0x91;
const uint8_t kFeature8 = 0xB1;

const uint8_t kApplicationCollection = 0x01;
const uint8_t kDataVariableAbsolute = 0x02;
const uint16_t kVendorUsagePage = 0xFF00;
const uint8_t kVendorUsage = 0x01;

void appendLittle16(std::vector<uint8_t>& out, uint16_t value)
{
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

// The one-byte form serves counts up to 255; larger reports need the two-byte
// form, which every HID parser accepts for global items.
void appendReportCount(std::vector<uint8_t>& out, uint16_t count)
{
    if (count <= 0xFF) {
        out.push_back(kReportCount8);
        out.push_back(static_cast<uint8_t>(count));
    } else {
        out.push_back(kReportCount16);
        appendLittle16(out, count);
    }
}

// One main item of `dataBytes` byte-sized fields. The global items (report
// size, logical range, report id) set before it still apply.
void appendByteArray(std::vector<uint8_t>& out, uint8_t mainItem, uint16_t dataBytes,
                     uint8_t usage = kVendorUsage)
{
    out.push_back(kUsage8);
    out.push_back(usage);
    appendReportCount(out, dataBytes);
    out.push_back(mainItem);
    out.push_back(kDataVariableAbsolute);
}

// The request name: the data bytes after the report id up to the first zero
// (or the end of the report when it holds no zero).
std::string requestName(const uint8_t* report, size_t length)
{
    const uint8_t* data = report + 1;
    const uint8_t* end = report + length;
    return std::string(data, std::find(data, end, uint8_t{0}));
}

// Report id 1, the reply text cut to the input report's data bytes, zeros up
// to the input report length.
Report replyReport(const std::string& text, uint16_t inputDataBytes)
{
    Report report(size_t{1} + inputDataBytes, 0);
    report[0] = kControlReportId;
    const size_t copied = std::min(text.size(), size_t{inputDataBytes});
    std::copy_n(text.begin(), copied, report.begin() + 1);
    return report;
}

} // namespace

SimDevice::SimDevice(DeviceConfig config) : m_config(std::move(config)), m_dfu(m_config.dfu) {}

// Vendor page 0xFF00, one application collection, report id 1 carrying an
// input and an output report of byte fields. A direction whose data length
// is 0 is left out, so the device has no report of that kind at all. With
// DFU on, the feature reports 0xD0-0xD3 follow, with the lengths of
// docs/protocol.md; custom feature behaviour declares its own instead.
std::vector<uint8_t> SimDevice::reportDescriptor() const
{
    std::vector<uint8_t> out;
    out.push_back(kUsagePage16);
    appendLittle16(out, kVendorUsagePage);
    out.push_back(kUsage8);
    out.push_back(kVendorUsage);
    out.push_back(kCollection8);
    out.push_back(kApplicationCollection);

    out.push_back(kReportId8);
    out.push_back(kControlReportId);
    out.push_back(kLogicalMinimum8);
    out.push_back(0x00);
    out.push_back(kLogicalMaximum16);
    appendLittle16(out, 0x00FF);
    out.push_back(kReportSize8);
    out.push_back(8);

    if (m_config.inputDataBytes > 0)
        appendByteArray(out, kInput8, m_config.inputDataBytes);
    if (m_config.outputDataBytes > 0)
        appendByteArray(out, kOutput8, m_config.outputDataBytes);

    if (m_config.customFeatures) {
        for (const FeatureBehaviour::Declared& feature : m_config.customFeatures->declaredFeatureReports()) {
            out.push_back(kReportId8);
            out.push_back(feature.id);
            appendByteArray(out, kFeature8, feature.dataBytes);
        }
    } else if (m_dfu.config().enabled) {
        // The device core's items for the DFU feature reports, as firmware
        // would place them.
        uint8_t items[HIDDFU_HID_DESCRIPTOR_LENGTH];
        const size_t length =
            hiddfu_hid_report_descriptor(m_dfu.config().transferSize, items, sizeof items);
        out.insert(out.end(), items, items + length);
    }

    out.push_back(kEndCollection);
    return out;
}

// Every report is recorded. Only a report with id 1 is a control request;
// a silent device, a name with no entry in the reply table, or a device
// without input reports sends nothing back, so the host's read times out
// exactly as it would with firmware that does not know the request.
std::vector<Report> SimDevice::onOutputReport(const uint8_t* report, size_t length)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_received.emplace_back(report, report + length);

    std::vector<Report> answers;
    if (length == 0 || report[0] != kControlReportId || m_config.silent ||
        m_config.inputDataBytes == 0)
        return answers;

    std::string text;
    if (findReply(requestName(report, length), &text))
        answers.push_back(replyReport(text, m_config.inputDataBytes));
    return answers;
}

// The reply table, except that "version" answers with the flashed image's
// version once an image that carries one has been flashed.
bool SimDevice::findReply(const std::string& name, std::string* text) const
{
    if (name == "version" && !m_dfu.firmwareVersion().empty()) {
        *text = m_dfu.firmwareVersion();
        return true;
    }
    const auto reply = m_config.replies.find(name);
    if (reply == m_config.replies.end())
        return false;
    *text = reply->second;
    return true;
}

std::vector<Report> SimDevice::receivedOutputs() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
}

// The request report, unless the transfer size is so small that the
// functional report is longer. The configuration never changes, so no lock.
uint16_t SimDevice::featureReportLength() const
{
    if (m_config.customFeatures) {
        uint16_t longest = 0;
        for (const FeatureBehaviour::Declared& feature : m_config.customFeatures->declaredFeatureReports())
            longest = std::max<uint16_t>(longest, static_cast<uint16_t>(feature.dataBytes + 1u));
        return longest;
    }
    if (!m_dfu.config().enabled)
        return 0;
    return std::max<uint16_t>(m_dfu.requestReportLength(), dfu::kFunctionalReportBytes);
}

FeatureOutcome SimDevice::setFeatureReport(const uint8_t* report, size_t length)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_config.customFeatures)
        return m_config.customFeatures->setFeatureReport(report, length);
    return m_dfu.setReport(report, length);
}

bool SimDevice::refusesFeatureSetBeforeData(uint8_t reportId) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return !m_config.customFeatures && m_dfu.refusesSetBeforeData(reportId);
}

FeatureOutcome SimDevice::getFeatureReport(uint8_t reportId, Report* reply)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_config.customFeatures)
        return m_config.customFeatures->getFeatureReport(reportId, reply);
    return m_dfu.getReport(reportId, reply);
}

FeatureOutcome SimDevice::dfuClassRequest(const hiddfu_dev_setup& setup, const uint8_t* data,
                                          Report* reply)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_dfu.classRequest(setup, data, reply);
}

void SimDevice::dfuTransportStall()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_dfu.transportStall();
}

bool SimDevice::loadFlash()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_dfu.loadFlash();
}

std::string SimDevice::firmwareVersion() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string text;
    findReply("version", &text);
    return text;
}

unsigned SimDevice::manifestations() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_dfu.manifestations();
}

DownloadTiming SimDevice::lastDownload() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_dfu.lastDownload();
}

DfuMachine SimDevice::dfuSnapshot() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_dfu;
}

std::optional<uint32_t> SimDevice::takeRestartRequest()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_dfu.takeRestartRequest();
}

} // namespace sim
