// The raw HID report transport over the HID platform layer.
//
// Choices where the platform's report lengths could outgrow a fixed buffer:
// - Report buffers hold 255 bytes, enough for every report of a full-speed
//   device; an interface whose report is longer gets a buffer sized to that
//   report instead of a refusal, so such devices still work and nothing is
//   ever read or written past a buffer. hid_receive's contract is unchanged:
//   the caller's buffer needs room for the input report length - 1 bytes.
// - A read that delivers no bytes at all carries no report id to drop and no
//   report: the receive fails and leaves the caller's outputs untouched.
// - A transfer that times out is over when the platform call returns (the
//   platform layer cancels it and leaves nothing pending), so the buffer of
//   an operation can be a local of that operation.
#include "vun_hid.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace kr {

namespace {

const size_t kReportBufferSize = 255;

// A zeroed report buffer of 255 bytes, or of `reportLength` bytes when the
// report is longer.
std::vector<uint8_t> reportBuffer(uint32_t reportLength)
{
    return std::vector<uint8_t>(std::max<size_t>(kReportBufferSize, reportLength), 0);
}

// The interface at one enumeration index, opened for reading and writing
// and held alone, or -1 when there is none or it cannot be opened so
// (*why says why).
HidHandle open_dev(unsigned deviceIndex, hidplatform::OpenFailure* why)
{
    return hidplatform::openByIndex(deviceIndex, hidplatform::Access::kExclusive, why);
}

// An id argument of 0 matches anything; any other value must equal the
// interface's 16-bit id widened with zeros, so values above 0xffff never do.
bool idMatches(uint32_t wanted, uint16_t actual)
{
    return wanted == 0 || wanted == actual;
}

// Report id 1, the caller's bytes, zeros up to the output report length,
// written with one platform call waiting at most `timeoutMs`.
bool sendReport(HidHandle deviceHandle, const uint8_t* data, uint32_t length, int timeoutMs)
{
    uint32_t inputLen = 0;
    uint32_t outputLen = 0;
    if (!hid_get_report_length(deviceHandle, inputLen, outputLen))
        return false;
    // 64-bit so that a length of 0xffffffff cannot wrap to 0 and pass.
    if (uint64_t{length} + 1 > outputLen)
        return false;

    std::vector<uint8_t> buffer = reportBuffer(outputLen);
    buffer[0] = kHidReportId;
    if (length > 0)
        std::memcpy(buffer.data() + 1, data, length);

    size_t written = 0;
    return hidplatform::writeReport(deviceHandle, buffer.data(), outputLen, timeoutMs, &written) ==
           hidplatform::IoResult::kDone;
}

// Reads one input report with the input report length, waiting at most
// `timeoutMs`, and hands over everything after its report id byte.
bool receiveReport(HidHandle deviceHandle, uint8_t* data, uint32_t& length, int timeoutMs)
{
    uint32_t inputLen = 0;
    uint32_t outputLen = 0;
    if (!hid_get_report_length(deviceHandle, inputLen, outputLen))
        return false;
    // No input reports: there is nothing to read and no room for a report id.
    if (inputLen == 0)
        return false;

    std::vector<uint8_t> buffer = reportBuffer(inputLen);
    size_t bytesRead = 0;
    if (hidplatform::readReport(deviceHandle, buffer.data(), inputLen, timeoutMs, &bytesRead) !=
        hidplatform::IoResult::kDone)
        return false;
    if (bytesRead == 0)
        return false;

    // The platform never reports more than it was given room for; the clamp
    // keeps the copy within the caller's promised room even if it did.
    const uint32_t dataBytes = static_cast<uint32_t>(std::min<size_t>(bytesRead, inputLen)) - 1;
    if (dataBytes > 0)
        std::memcpy(data, buffer.data() + 1, dataBytes);
    length = dataBytes;
    return true;
}

// Keeps the reason a matching interface was refused: in use wins over
// access denied (the user can do nothing about the first but wait).
void noteRefusal(unsigned index, hidplatform::OpenFailure why, HidOpenRefusal* seen)
{
    using hidplatform::OpenFailure;
    if (why != OpenFailure::kInUse && why != OpenFailure::kAccessDenied)
        return;
    if (seen->reason == OpenFailure::kInUse && why != OpenFailure::kInUse)
        return;
    seen->reason = why;
    seen->path = hidplatform::interfacePath(index);
}

bool hid_send_asyn(HidHandle deviceHandle, const uint8_t* data, uint32_t length)
{
    return sendReport(deviceHandle, data, length, kHidTransferTimeoutMs);
}

bool hid_receive_asyn(HidHandle deviceHandle, uint8_t* data, uint32_t& length)
{
    return receiveReport(deviceHandle, data, length, kHidTransferTimeoutMs);
}

} // namespace

HidHandle hid_open(uint32_t vendorID, uint32_t productID, HidOpenRefusal* refusal)
{
    HidOpenRefusal seen;
    const unsigned interfaces = hidplatform::interfaceCount();
    for (unsigned index = 0; index < interfaces; ++index) {
        uint16_t vendor = 0;
        uint16_t product = 0;
        // A busy or closed interface with other ids is none of this call's
        // business; one whose ids cannot be read without opening is opened.
        if (hidplatform::peekAttributes(index, &vendor, &product) &&
            !(idMatches(vendorID, vendor) && idMatches(productID, product)))
            continue;
        hidplatform::OpenFailure why = hidplatform::OpenFailure::kNone;
        hidplatform::Device device(open_dev(index, &why));
        if (!device.valid()) {
            noteRefusal(index, why, &seen);
            continue;
        }
        if (hidplatform::getAttributes(device.get(), &vendor, &product) &&
            idMatches(vendorID, vendor) && idMatches(productID, product))
            return device.release();
    }
    if (refusal != nullptr)
        *refusal = seen;
    return hidplatform::kInvalidHandle;
}

std::string hid_find_denied(uint32_t vendorID, uint32_t productID)
{
    const unsigned interfaces = hidplatform::interfaceCount();
    for (unsigned index = 0; index < interfaces; ++index) {
        uint16_t vendor = 0;
        uint16_t product = 0;
        if (!hidplatform::peekAttributes(index, &vendor, &product) || !idMatches(vendorID, vendor) ||
            !idMatches(productID, product))
            continue;
        hidplatform::OpenFailure why = hidplatform::OpenFailure::kNone;
        // Opened only to learn why it opens or not, closed at once.
        hidplatform::Device(hidplatform::openByIndex(index, hidplatform::Access::kReadWrite, &why)).reset();
        if (why == hidplatform::OpenFailure::kAccessDenied)
            return hidplatform::interfacePath(index);
    }
    return std::string();
}

void hid_close(HidHandle deviceHandle)
{
    hidplatform::Device(deviceHandle).reset();
}

bool hid_get_report_length(HidHandle deviceHandle, uint32_t& inputLen, uint32_t& outputLen)
{
    if (deviceHandle == hidplatform::kInvalidHandle)
        return false;
    hidplatform::ReportLengths lengths;
    if (!hidplatform::getReportLengths(deviceHandle, &lengths))
        return false;
    inputLen = lengths.input;
    outputLen = lengths.output;
    return true;
}

bool hid_send(HidHandle deviceHandle, const uint8_t* data, uint32_t length)
{
    return hid_send_asyn(deviceHandle, data, length);
}

bool hid_receive(HidHandle deviceHandle, uint8_t* data, uint32_t& length)
{
    return hid_receive_asyn(deviceHandle, data, length);
}

bool hid_send_syn(HidHandle deviceHandle, const uint8_t* data, uint32_t length)
{
    return sendReport(deviceHandle, data, length, hidplatform::kWaitForever);
}

bool hid_receive_syn(HidHandle deviceHandle, uint8_t* data, uint32_t& length)
{
    return receiveReport(deviceHandle, data, length, hidplatform::kWaitForever);
}

} // namespace kr
