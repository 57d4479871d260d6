// The numbers the library's calls return, as C++ constants for the
// library's own code. The numbers and what each means are written once, in
// the public header HidDfuResults.h that callers of the library include.
#ifndef HIDDFU_RESULTS_H
#define HIDDFU_RESULTS_H

#include <cstdint>

#include "HidDfuResults.h"

namespace hiddfu {
namespace result {

const int32_t kSuccess = HIDDFU_SUCCESS;
const int32_t kDeviceLost = HIDDFU_ERROR_DEVICE_LOST;
const int32_t kTimedOut = HIDDFU_ERROR_TIMED_OUT;
const int32_t kProtocolViolation = HIDDFU_ERROR_PROTOCOL;
const int32_t kFileInvalid = HIDDFU_ERROR_FILE_INVALID;
const int32_t kNotConnected = HIDDFU_ERROR_NOT_CONNECTED;
const int32_t kWrongDevice = HIDDFU_ERROR_WRONG_DEVICE;
const int32_t kUpgradeRunning = HIDDFU_ERROR_UPGRADE_RUNNING;
const int32_t kCannotDownload = HIDDFU_ERROR_CANNOT_DOWNLOAD;
const int32_t kCancelled = HIDDFU_ERROR_CANCELLED;
const int32_t kSystemError = HIDDFU_ERROR_SYSTEM;
const int32_t kInvalidArgument = HIDDFU_ERROR_INVALID_ARGUMENT;
const int32_t kDeviceBusy = HIDDFU_ERROR_DEVICE_BUSY;
const int32_t kEmptyPayload = HIDDFU_ERROR_EMPTY_PAYLOAD;
const int32_t kDownloadNotSupported = HIDDFU_ERROR_DOWNLOAD_NOT_SUPPORTED;
const int32_t kTransferSizeZero = HIDDFU_ERROR_TRANSFER_SIZE_ZERO;
const int32_t kTransferSizeTooLarge = HIDDFU_ERROR_TRANSFER_SIZE_TOO_LARGE;

} // namespace result
} // namespace hiddfu

#endif
