// One opened interface that speaks the protocol: DFU requests as feature
// report 0xD0, GETSTATUS as feature report 0xD1, the functional report 0xD2,
// each in a buffer of the length the interface declares for it.
#ifndef HIDDFU_DFU_CHANNEL_H
#define HIDDFU_DFU_CHANNEL_H

#include "dfu_protocol.h"
#include "hid_platform.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace hiddfu {

// The library talks to devices through the HID platform layer that the
// program or library it is linked into chose (the shipped backend, or the
// in-process simulator in the tests).
using hidplatform::Access;
using hidplatform::Device;
using hidplatform::FeatureReport;
using hidplatform::Handle;
using hidplatform::kInvalidHandle;
using hidplatform::OpenFailure;

// The lengths of the protocol's feature reports on one interface, id byte
// included.
struct ProtocolReports {
    size_t request = 0;
    size_t status = 0;
    size_t functional = 0;
};

// Whether `reports` (an interface's declared feature reports) hold the
// request, status and functional reports, long enough for their content;
// *lengths gets their lengths.
bool findProtocolReports(const std::vector<FeatureReport>& reports, ProtocolReports* lengths);

enum class StatusOutcome {
    kOk,         // *status holds the device's answer
    kFailed,     // the feature report failed
    kMalformed,  // an answer came, but not a status report
};

class DfuChannel {
public:
    DfuChannel(Handle handle, const ProtocolReports& lengths) : m_handle(handle), m_lengths(lengths)
    {
    }

    // Most data bytes one DNLOAD can carry on this interface.
    size_t maxTransferSize() const { return m_lengths.request - kRequestHeaderLength; }

    // Sends a request; false when the feature report failed (device gone, or
    // the device refused the request in its state).
    bool send(Request request, uint16_t value, const uint8_t* data = nullptr, uint16_t dataLength = 0);

    // GETSTATUS.
    StatusOutcome getStatus(DeviceStatus* status);

    // Reads the functional report; false when it fails or is malformed.
    bool readFunctional(FunctionalDescriptor* functional);

private:
    Handle m_handle;
    ProtocolReports m_lengths;
};

} // namespace hiddfu

#endif
