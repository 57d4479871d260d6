// The in-process HID bus behind the simulator backend of the HID platform
// layer (hid_platform_sim.cpp). Tests plug simulated devices in at
// enumeration indices, make single indices misbehave, and look at the
// traffic afterwards; the code under test sees them only through
// hidplatform::openByIndex and friends.
//
// The bus is one process-wide object. Each test starts from reset().
//
// Timing: nothing sleeps. A read that finds no input report queued returns
// kTimeout at once, as if the whole wait had passed, and adds the wait to a
// virtual clock; the I/O log keeps the timeout each call was given so tests
// can check the waits a transport asks for. A read that waits for ever with
// nothing queued would hang a real program; here it fails with kError.
//
// Input reports are queued per open handle, as hidraw does: a device's
// answer goes to every handle open on it at that moment.
//
// Feature reports go to the device's DFU machine (sim_device.h), its faults
// mapped to what a host sees on hidraw: a stalled request fails at once; an
// unanswered one fails after kFeatureTimeoutMs on the virtual clock (the
// kernel's wait for a uhid device); a device that vanishes is unplugged, so
// the call and every later one on its handles fail. A DETACH the device
// accepts makes it re-enumerate: it stays plugged in at its index, but the
// handles open on it are stale from then on, as after a real reset.
#ifndef SIM_BUS_H
#define SIM_BUS_H

#include "hid_platform.h"
#include "sim_device.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace simbus {

// How one enumeration index misbehaves. The defaults behave normally.
struct Faults {
    bool openFails = false;            // openByIndex gives kInvalidHandle
    bool openDenied = false;           // openByIndex gives kInvalidHandle, kAccessDenied
    bool attributesFail = false;       // getAttributes gives false
    bool reportLengthsFail = false;    // getReportLengths gives false
    bool writesTimeOut = false;        // writeReport: kTimeout, nothing reaches the device
    bool writesFail = false;           // writeReport: kError, nothing reaches the device
    bool readsTimeOut = false;         // readReport: kTimeout even with input queued
    bool readsFail = false;            // readReport: kError
    bool featuresFail = false;         // setFeature/getFeature: false, nothing reaches the device
};

// How long the kernel waits for a uhid device to answer a feature report.
const int kFeatureTimeoutMs = 5000;

struct IoRecord {
    enum class Kind { kWrite, kRead, kSetFeature, kGetFeature };
    Kind kind;
    unsigned index;        // enumeration index of the device
    size_t length;         // bytes offered (write, set) or buffer capacity (read, get)
    int timeoutMs;         // the wait the caller asked for; for features the wait it cost
    hidplatform::IoResult result;  // features: kDone, kError, or kTimeout when unanswered
    size_t transferred;    // bytes written, read, set or got
    sim::Report feature;   // features: the report set, or got (id first)
};

// Unplugs every device, clears faults, queued input, the I/O log, the open
// counters and the virtual clock. Handles still open become unknown.
void reset();

// Puts `device` at enumeration `index`, replacing whatever was there.
void plug(unsigned index, std::shared_ptr<sim::SimDevice> device);

// Removes the device at `index`. Handles open on it fail from now on (the
// device is gone) until closed.
void unplug(unsigned index);

// Makes `index` misbehave as `faults` says (also with no device plugged).
void setFaults(unsigned index, const Faults& faults);

// Queues `report` (report id first, any length, also empty) on every handle
// open on `index`, as if the device had sent it unasked.
void queueInput(unsigned index, const sim::Report& report);

// Handles opened and not yet closed.
size_t openHandleCount();

// The enumeration index an open handle was opened at; -1 for a handle that
// is not open.
int handleIndex(hidplatform::Handle handle);

// Successful openByIndex calls since reset().
size_t openCount();

// close() calls with a handle that is not open (closed twice, never
// opened); close(kInvalidHandle) is not counted.
size_t unknownCloseCount();

// Every writeReport, readReport, setFeature and getFeature on an open
// handle, in call order.
std::vector<IoRecord> ioLog();

// Milliseconds the simulated waits would have taken.
long long virtualElapsedMs();

} // namespace simbus

#endif
