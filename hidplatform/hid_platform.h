// The HID platform layer: the few operating-system calls the raw report
// transport and the upgrade library need, behind one small interface with
// one backend file per platform (hid_platform_linux.cpp on hidraw,
// hid_platform_win.cpp on SetupAPI/hid.dll, and an in-process simulator
// backend that the tests link instead).
//
// A handle is the platform's own handle of one opened HID interface (a file
// descriptor on Linux, a HANDLE on Windows), widened to intptr_t; -1 means
// none. Every report buffer starts with the report id byte.
#ifndef HID_PLATFORM_H
#define HID_PLATFORM_H

#include "scoped_handle.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace hidplatform {

typedef intptr_t Handle;
const Handle kInvalidHandle = -1;

// Wait for ever (the synchronous transfers).
const int kWaitForever = -1;

// Longest input, output and feature report in bytes, always counting the
// report id byte (0 on devices that use no report ids), as HidP_GetCaps
// reports them on Windows. 0 when the interface has no report of that kind.
struct ReportLengths {
    uint16_t input = 0;
    uint16_t output = 0;
    uint16_t feature = 0;
};

// One feature report an interface declares (used by the upgrade library to
// recognise a device that speaks its protocol): the report id (0 on devices
// that use no report ids) and the report buffer length, id byte included.
// Windows moves every feature report of an interface in a buffer of the
// interface's longest one, so there each length is that longest length.
struct FeatureReport {
    uint8_t id = 0;
    uint16_t length = 0;
};

enum class IoResult {
    kDone,     // the report was transferred
    kTimeout,  // nothing happened within the wait; nothing is left pending
    kError,    // the transfer failed (device gone, refused, ...)
};

// How far an interface is opened.
enum class Access {
    // Enough to read the ids and the report descriptor (Windows: a handle
    // without read or write access, which opens even where the system holds
    // the interface; Linux: as kReadWrite).
    kQuery,
    // Reading and writing, shared with other programs.
    kReadWrite,
    // Reading and writing, and the interface held for this handle alone
    // until it is closed: no other kExclusive open succeeds meanwhile, so two
    // runs can never talk to one device at once. Linux takes a non-blocking
    // exclusive flock on the node (advisory: it binds the programs that ask
    // for it); Windows takes a named semaphore per device path.
    kExclusive,
};

// Why an open failed.
enum class OpenFailure {
    kNone,          // it did not fail
    kNoInterface,   // nothing at that index (any more)
    kInUse,         // another handle holds the interface exclusively
    kAccessDenied,  // the user may not open the node
    kOther,         // any other refusal
};

// The number of HID interfaces present now; indices 0 to count - 1 are
// valid for the calls below while the set of devices does not change. There
// is no fixed upper limit.
unsigned interfaceCount();

// The vendor and product id of the interface at `index`, read without
// opening it for I/O (Linux: sysfs; Windows: a query-only handle), so they
// can be had for interfaces the user may not open. False when they cannot.
bool peekAttributes(unsigned index, uint16_t* vendorId, uint16_t* productId);

// The node or device path of the interface at `index` (for messages);
// empty when there is none.
std::string interfacePath(unsigned index);

// Opens the HID interface at `index` in the platform's enumeration order
// (stable between calls while the set of devices does not change) with the
// given access. kInvalidHandle when there is no interface at that index or it
// cannot be opened so; *why (when given) then says why.
Handle openByIndex(unsigned index, Access access = Access::kReadWrite, OpenFailure* why = nullptr);

// Closes a handle from openByIndex; ignores kInvalidHandle.
void close(Handle handle);

// Vendor and product id of the opened interface.
bool getAttributes(Handle handle, uint16_t* vendorId, uint16_t* productId);

// Report lengths of the opened interface.
bool getReportLengths(Handle handle, ReportLengths* lengths);

// The feature reports the opened interface's report descriptor declares, by
// ascending id; empty when it declares none. False when the descriptor cannot
// be had.
bool getFeatureReports(Handle handle, std::vector<FeatureReport>* reports);

// Writes one output report (report id first, `length` bytes), waiting at
// most `timeoutMs` (kWaitForever: no limit). *written gets the byte count.
IoResult writeReport(Handle handle, const uint8_t* report, size_t length, int timeoutMs,
                     size_t* written);

// Reads one input report into `buffer` (room for `capacity` bytes, report id
// first), waiting at most `timeoutMs`. *got gets the byte count, which may be
// less than the report when `capacity` is smaller (the rest is dropped).
IoResult readReport(Handle handle, uint8_t* buffer, size_t capacity, int timeoutMs, size_t* got);

// Sends a feature report; report[0] is its id.
bool setFeature(Handle handle, const uint8_t* report, size_t length);

// Gets the feature report whose id is report[0] into `report` (room for
// `capacity` bytes, id first); *got gets the byte count.
bool getFeature(Handle handle, uint8_t* report, size_t capacity, size_t* got);

// The owner of one opened interface (scoped_handle.h): closes it when it
// goes, moves but does not copy. Device(openByIndex(...)) holds nothing when the open failed.
struct DeviceTraits {
    using Value = Handle;
    static Handle invalid() { return kInvalidHandle; }
    static void close(Handle handle) { hidplatform::close(handle); }
};
using Device = ScopedHandle<DeviceTraits>;

} // namespace hidplatform

#endif
