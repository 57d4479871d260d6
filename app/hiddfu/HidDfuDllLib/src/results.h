// The numbers the library's calls return (docs/protocol.md, "Results").
// 0 is success and 1 to 15 are the device's own DFU status codes; the
// negative numbers are the host's.
#ifndef HIDDFU_RESULTS_H
#define HIDDFU_RESULTS_H

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
const int32_t kFileInvalid = -4;
// Not connected; from hidDfuGetResult: no upgrade has run since the connect.
const int32_t kNotConnected = -5;
// hidDfuUpgrade: the file names another vendor or product id.
const int32_t kWrongDevice = -6;
// An upgrade is running (refused, or asked for the result too early).
const int32_t kUpgradeRunning = -7;
// hidDfuUpgrade: the device's functional report could not be read, is
// malformed, says it cannot download, or gives an unusable transfer size.
const int32_t kCannotDownload = -8;
// hidDfuDisconnect ended the upgrade before it finished.
const int32_t kCancelled = -9;
// The system refused a resource: no worker thread, no memory.
const int32_t kSystemError = -10;
// A null pointer or a flags value other than 1.
const int32_t kInvalidArgument = -11;

} // namespace result
} // namespace hiddfu

#endif
