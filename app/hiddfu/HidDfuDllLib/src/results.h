// The numbers the library's calls return (docs/protocol.md, "Results").
// 0 is success and 1 to 15 are the device's own DFU status codes; the
// negative numbers are the host's.
#ifndef HIDDFU_RESULTS_H
#define HIDDFU_RESULTS_H

#include "HidDfu.h"

#include <cstdint>

namespace hiddfu {
namespace result {

const int32_t kSuccess = 0;
// A feature report failed: device unplugged, not answering within the
// system's time limit, or another I/O error.
const int32_t kDeviceLost = -1;
// The device stayed busy (dfuDNBUSY, manifestation) beyond the bound.
const int32_t kTimedOut = -2;
// A malformed report or a state that does not belong where it came.
const int32_t kProtocolViolation = -3;
// hidDfuUpgrade: the file cannot be read, its suffix or CRC is wrong, or it
// has no payload.
const int32_t kFileInvalid = HIDDFU_FILE_INVALID;
// Not connected; from hidDfuGetResult: no upgrade has run since the connect.
const int32_t kNotConnected = -5;
// hidDfuUpgrade: the file names another vendor or product id.
const int32_t kWrongDevice = HIDDFU_WRONG_DEVICE;
// An upgrade is running (refused, or asked for the result too early).
const int32_t kUpgradeRunning = -7;
// hidDfuUpgrade: the device's functional report could not be read, is
// malformed, says it cannot download, or gives an unusable transfer size.
const int32_t kCannotDownload = HIDDFU_CANNOT_DOWNLOAD;
// hidDfuDisconnect ended the upgrade before it finished.
const int32_t kCancelled = -9;
// The system refused a resource: no worker thread, no memory.
const int32_t kSystemError = HIDDFU_SYSTEM_ERROR;
// A null pointer or a flags value other than 1.
const int32_t kInvalidArgument = -11;
// hidDfuConnect: every matching device is held by another program (another
// run has it connected); none was connected.
const int32_t kDeviceBusy = HIDDFU_DEVICE_BUSY;

// Why hidDfuUpgrade refused, as hidDfuGetResult gives it afterwards (until
// the next connect or upgrade). hidDfuUpgrade itself returns the broader
// number shown; -4, -6 and -8 (functional report unreadable or malformed)
// also stand for themselves here.
// -4: the DFU file has no payload.
const int32_t kEmptyPayload = HIDDFU_EMPTY_PAYLOAD;
// -8: the functional report has bitCanDnload clear.
const int32_t kDownloadNotSupported = HIDDFU_DOWNLOAD_NOT_SUPPORTED;
// -8: the functional report gives a transfer size of 0.
const int32_t kTransferSizeZero = HIDDFU_TRANSFER_SIZE_ZERO;
// -8: the transfer size is more than the request report can carry.
const int32_t kTransferSizeTooLarge = HIDDFU_TRANSFER_SIZE_TOO_LARGE;

} // namespace result
} // namespace hiddfu

#endif
