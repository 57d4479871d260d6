// The raw HID report transport: finds a HID interface by vendor and product
// id and moves single reports with report id 1 to and from it. It sits on
// the HID platform layer (hid_platform.h); which backend that is (hidraw,
// Windows, the in-process simulator) is chosen by the program that links it.
//
// Every send writes exactly the interface's output report length: report
// id 1, the caller's bytes, zeros. Every receive reads one input report and
// hands the caller everything after its first byte, whose value is ignored.
// Each operation asks the interface for its report lengths itself. The
// transport keeps no state between calls and prints nothing.
#ifndef VUN_HID_H
#define VUN_HID_H

#include "hid_platform.h"

#include <cstdint>
#include <string>

namespace kr {

// The opened interface of a device, or hidplatform::kInvalidHandle (-1) for
// none. Owned by the caller from hid_open until hid_close.
using HidHandle = hidplatform::Handle;

// How long one send or receive waits for its transfer.
const int kHidTransferTimeoutMs = 500;

// The report id of every report the transport sends.
const uint8_t kHidReportId = 1;

// Why hid_open returned -1 although an interface with matching ids exists:
// it is held by another program, or the user may not open it. `path` names
// the interface (the last one refused so).
struct HidOpenRefusal {
    hidplatform::OpenFailure reason = hidplatform::OpenFailure::kNone;
    std::string path;
};

// Opens the first interface, in enumeration order among all the platform
// has, whose ids match, that opens for reading and writing held for this
// handle alone (hidplatform::Access::kExclusive), and whose ids read from
// the open handle match too: an id of 0 matches anything, any other must
// equal the interface's 16-bit id, so an id above 0xffff matches nothing.
// Ids are read without opening where the platform can, so interfaces with
// other ids are never opened or held. Interfaces that are looked at and not
// returned are closed again. -1 when none matches; then *refusal (when
// given) says whether a matching one was there but refused: a busy one
// wins over one the user may not open.
HidHandle hid_open(uint32_t vendorID, uint32_t productID, HidOpenRefusal* refusal = nullptr);

// The path of the first interface whose ids match (as for hid_open) and
// that the user may not open for reading and writing; empty when there is
// none. Nothing is held: it only finds out why a device that is there could
// not be reached.
std::string hid_find_denied(uint32_t vendorID, uint32_t productID);

// Closes an interface from hid_open; -1 is ignored.
void hid_close(HidHandle deviceHandle);

// The input and output report lengths in bytes, report id byte included.
// False for -1 or when the interface cannot tell; the outputs are then left
// as they were.
bool hid_get_report_length(HidHandle deviceHandle, uint32_t& inputLen, uint32_t& outputLen);

// Sends `length` bytes of `data` as one output report, waiting at most
// 500 ms. False, with nothing written, when length + 1 exceeds the output
// report length (an interface without output reports takes no send at all),
// and false when the write fails or does not finish in time.
bool hid_send(HidHandle deviceHandle, const uint8_t* data, uint32_t length);

// Receives one input report, waiting at most 500 ms, and copies its bytes
// after the first to `data`, their count to `length`. `data` must have room
// for the input report length - 1 bytes. On false (no report in time, a
// failed read, a read of no bytes at all) `data` and `length` are untouched.
bool hid_receive(HidHandle deviceHandle, uint8_t* data, uint32_t& length);

// hid_send and hid_receive without a time limit: they wait until the
// transfer ends.
bool hid_send_syn(HidHandle deviceHandle, const uint8_t* data, uint32_t length);
bool hid_receive_syn(HidHandle deviceHandle, uint8_t* data, uint32_t& length);

} // namespace kr

#endif
