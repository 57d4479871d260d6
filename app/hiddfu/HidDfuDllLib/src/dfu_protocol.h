// The DFU-over-HID protocol of the upgrade library (docs/protocol.md): the
// report ids, the DFU 1.1 request, state and status numbers, and the byte
// layouts of the reports, as pure functions so that they can be tested
// without a device.
#ifndef HIDDFU_DFU_PROTOCOL_H
#define HIDDFU_DFU_PROTOCOL_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace hiddfu {

// Feature report ids.
const uint8_t kRequestReportId = 0xD0;     // host sets: one DFU request
const uint8_t kStatusReportId = 0xD1;      // host gets: GETSTATUS
const uint8_t kFunctionalReportId = 0xD2;  // host gets: the DFU functional descriptor
const uint8_t kStateReportId = 0xD3;       // host gets: GETSTATE (optional)

// Bytes of the request report before its data: id, bRequest, wValue, wLength.
const size_t kRequestHeaderLength = 6;
// Report lengths, id byte included.
const size_t kStatusReportLength = 7;
const size_t kFunctionalReportLength = 8;

enum class Request : uint8_t {
    kDetach = 0,
    kDnload = 1,
    kUpload = 2,
    kGetStatus = 3,
    kClrStatus = 4,
    kGetState = 5,
    kAbort = 6,
};

enum class State : uint8_t {
    kAppIdle = 0,
    kAppDetach = 1,
    kDfuIdle = 2,
    kDnloadSync = 3,
    kDnBusy = 4,
    kDnloadIdle = 5,
    kManifestSync = 6,
    kManifest = 7,
    kManifestWaitReset = 8,
    kUploadIdle = 9,
    kDfuError = 10,
};
const uint8_t kLastState = 10;

// bStatus: 0 OK, 1 errTARGET ... 15 errSTALLEDPKT.
const uint8_t kStatusOk = 0;
const uint8_t kLastStatus = 15;

// bmAttributes bits of the functional report.
const uint8_t kCanDownload = 0x01;
const uint8_t kCanUpload = 0x02;
const uint8_t kManifestationTolerant = 0x04;
const uint8_t kWillDetach = 0x08;

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
