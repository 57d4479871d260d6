#include "dfu_channel.h"

namespace hiddfu {

namespace {

const FeatureReport* findReport(const std::vector<FeatureReport>& reports, uint8_t id)
{
    for (const FeatureReport& report : reports) {
        if (report.id == id)
            return &report;
    }
    return nullptr;
}

} // namespace

bool findProtocolReports(const std::vector<FeatureReport>& reports, ProtocolReports* lengths)
{
    const FeatureReport* request = findReport(reports, kRequestReportId);
    const FeatureReport* status = findReport(reports, kStatusReportId);
    const FeatureReport* functional = findReport(reports, kFunctionalReportId);
    // A request report must carry at least one data byte after its header.
    if (request == nullptr || status == nullptr || functional == nullptr ||
        request->length <= kRequestHeaderLength || status->length < kStatusReportLength ||
        functional->length < kFunctionalReportLength)
        return false;
    lengths->request = request->length;
    lengths->status = status->length;
    lengths->functional = functional->length;
    return true;
}

bool DfuChannel::send(Request request, uint16_t value, const uint8_t* data, uint16_t dataLength)
{
    const std::vector<uint8_t> report = encodeRequest(request, value, data, dataLength, m_lengths.request);
    return hidplatform::setFeature(m_handle, report.data(), report.size());
}

StatusOutcome DfuChannel::getStatus(DeviceStatus* status)
{
    std::vector<uint8_t> report(m_lengths.status, 0);
    report[0] = kStatusReportId;
    size_t got = 0;
    if (!hidplatform::getFeature(m_handle, report.data(), report.size(), &got))
        return StatusOutcome::kFailed;
    return decodeStatus(report.data(), got, status) ? StatusOutcome::kOk : StatusOutcome::kMalformed;
}

bool DfuChannel::readFunctional(FunctionalDescriptor* functional)
{
    std::vector<uint8_t> report(m_lengths.functional, 0);
    report[0] = kFunctionalReportId;
    size_t got = 0;
    return hidplatform::getFeature(m_handle, report.data(), report.size(), &got) &&
           decodeFunctional(report.data(), got, functional);
}

} // namespace hiddfu
