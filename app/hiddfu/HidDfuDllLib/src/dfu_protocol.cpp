#include "dfu_protocol.h"

#include <algorithm>

namespace hiddfu {

namespace {

void putLittle16(std::vector<uint8_t>& out, size_t at, uint16_t value)
{
    out[at] = static_cast<uint8_t>(value & 0xFF);
    out[at + 1] = static_cast<uint8_t>(value >> 8);
}

uint16_t little16(const uint8_t* bytes)
{
    return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

} // namespace

std::vector<uint8_t> encodeRequest(Request request, uint16_t value, const uint8_t* data,
                                   uint16_t dataLength, size_t reportLength)
{
    std::vector<uint8_t> report(std::max(reportLength, kRequestHeaderLength + dataLength), 0);
    report[0] = kRequestReportId;
    report[1] = static_cast<uint8_t>(request);
    putLittle16(report, 2, value);
    putLittle16(report, 4, dataLength);
    if (dataLength > 0)
        std::copy_n(data, dataLength, report.begin() + kRequestHeaderLength);
    return report;
}

bool decodeStatus(const uint8_t* report, size_t length, DeviceStatus* status)
{
    if (report == nullptr || length < kStatusReportLength || report[0] != kStatusReportId)
        return false;
    if (report[1] > kLastStatus || report[5] > kLastState)
        return false;
    status->status = report[1];
    status->pollTimeoutMs = static_cast<uint32_t>(report[2]) | (static_cast<uint32_t>(report[3]) << 8) |
                            (static_cast<uint32_t>(report[4]) << 16);
    status->state = static_cast<State>(report[5]);
    status->stringIndex = report[6];
    return true;
}

bool decodeFunctional(const uint8_t* report, size_t length, FunctionalDescriptor* functional)
{
    if (report == nullptr || length < kFunctionalReportLength || report[0] != kFunctionalReportId)
        return false;
    functional->attributes = report[1];
    functional->detachTimeoutMs = little16(report + 2);
    functional->transferSize = little16(report + 4);
    functional->dfuVersion = little16(report + 6);
    return true;
}

std::vector<uint8_t> encodeStatus(const DeviceStatus& status)
{
    return {kStatusReportId,
            status.status,
            static_cast<uint8_t>(status.pollTimeoutMs & 0xFF),
            static_cast<uint8_t>((status.pollTimeoutMs >> 8) & 0xFF),
            static_cast<uint8_t>((status.pollTimeoutMs >> 16) & 0xFF),
            static_cast<uint8_t>(status.state),
            status.stringIndex};
}

std::vector<uint8_t> encodeFunctional(const FunctionalDescriptor& functional)
{
    std::vector<uint8_t> report(kFunctionalReportLength, 0);
    report[0] = kFunctionalReportId;
    report[1] = functional.attributes;
    putLittle16(report, 2, functional.detachTimeoutMs);
    putLittle16(report, 4, functional.transferSize);
    putLittle16(report, 6, functional.dfuVersion);
    return report;
}

} // namespace hiddfu
