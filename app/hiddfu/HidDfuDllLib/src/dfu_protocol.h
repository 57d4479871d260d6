// The DFU-over-HID protocol of the upgrade library (docs/protocol.md): the
// report ids, the DFU 1.1 request, state and status numbers, and the byte
// layouts of the reports, as pure functions so that they can be tested
// without a device.
#ifndef HIDDFU_DFU_PROTOCOL_H
#define HIDDFU_DFU_PROTOCOL_H

#include "hiddfu_protocol.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace hiddfu {

// The numbers come from the header the device core shares
// (device/include/hiddfu_protocol.h), so that both ends agree by
// construction.

// Feature report ids.
const uint8_t kRequestReportId = HIDDFU_REPORT_REQUEST;        // host sets: one DFU request
const uint8_t kStatusReportId = HIDDFU_REPORT_STATUS;          // host gets: GETSTATUS
const uint8_t kFunctionalReportId = HIDDFU_REPORT_FUNCTIONAL;  // host gets: the DFU functional descriptor
const uint8_t kStateReportId = HIDDFU_REPORT_STATE;            // host gets: GETSTATE (optional)

// Bytes of the request report before its data: id, bRequest, wValue, wLength.
const size_t kRequestHeaderLength = HIDDFU_REQUEST_HEADER_LENGTH;
// Report lengths, id byte included.
const size_t kStatusReportLength = HIDDFU_STATUS_REPORT_LENGTH;
const size_t kFunctionalReportLength = HIDDFU_FUNCTIONAL_REPORT_LENGTH;

enum class Request : uint8_t {
    kDetach = HIDDFU_DFU_DETACH,
    kDnload = HIDDFU_DFU_DNLOAD,
    kUpload = HIDDFU_DFU_UPLOAD,
    kGetStatus = HIDDFU_DFU_GETSTATUS,
    kClrStatus = HIDDFU_DFU_CLRSTATUS,
    kGetState = HIDDFU_DFU_GETSTATE,
    kAbort = HIDDFU_DFU_ABORT,
};

enum class State : uint8_t {
    kAppIdle = HIDDFU_STATE_APP_IDLE,
    kAppDetach = HIDDFU_STATE_APP_DETACH,
    kDfuIdle = HIDDFU_STATE_DFU_IDLE,
    kDnloadSync = HIDDFU_STATE_DNLOAD_SYNC,
    kDnBusy = HIDDFU_STATE_DNBUSY,
    kDnloadIdle = HIDDFU_STATE_DNLOAD_IDLE,
    kManifestSync = HIDDFU_STATE_MANIFEST_SYNC,
    kManifest = HIDDFU_STATE_MANIFEST,
    kManifestWaitReset = HIDDFU_STATE_MANIFEST_WAIT_RESET,
    kUploadIdle = HIDDFU_STATE_UPLOAD_IDLE,
    kDfuError = HIDDFU_STATE_DFU_ERROR,
};
const uint8_t kLastState = HIDDFU_STATE_LAST;

// bStatus: 0 OK, 1 errTARGET ... 15 errSTALLEDPKT.
const uint8_t kStatusOk = HIDDFU_STATUS_OK;
const uint8_t kLastStatus = HIDDFU_STATUS_LAST;

// bmAttributes bits of the functional report.
const uint8_t kCanDownload = HIDDFU_ATTR_CAN_DNLOAD;
const uint8_t kCanUpload = HIDDFU_ATTR_CAN_UPLOAD;
const uint8_t kManifestationTolerant = HIDDFU_ATTR_MANIFESTATION_TOLERANT;
const uint8_t kWillDetach = HIDDFU_ATTR_WILL_DETACH;

// The six GETSTATUS bytes.
struct DeviceStatus {
    uint8_t status = kStatusOk;
    uint32_t pollTimeoutMs = 0;  // 24 bits on the wire
    State state = State::kDfuIdle;
    uint8_t stringIndex = 0;
};

// The DFU functional report.
struct FunctionalDescriptor {
    uint8_t attributes = 0;
    uint16_t detachTimeoutMs = 0;
    uint16_t transferSize = 0;
    uint16_t dfuVersion = 0;

    bool canDownload() const { return (attributes & kCanDownload) != 0; }
};

// A request report of exactly `reportLength` bytes (at least the header plus
// the data): the header, the data, then zeros.
std::vector<uint8_t> encodeRequest(Request request, uint16_t value, const uint8_t* data,
                                   uint16_t dataLength, size_t reportLength);

// Reads a status report as the device sent it (`length` bytes, id first).
// False for a report that is too short, carries another id, or holds a
// status or state number the protocol does not define.
bool decodeStatus(const uint8_t* report, size_t length, DeviceStatus* status);

// Reads a functional report (id first). False when it is too short or
// carries another id; the values themselves are checked by the caller,
// which knows the request report's length.
bool decodeFunctional(const uint8_t* report, size_t length, FunctionalDescriptor* functional);

// For a device to encode its answers, and for tests.
std::vector<uint8_t> encodeStatus(const DeviceStatus& status);
std::vector<uint8_t> encodeFunctional(const FunctionalDescriptor& functional);

} // namespace hiddfu

#endif
