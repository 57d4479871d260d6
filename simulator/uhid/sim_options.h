// The command line of hiddfu-sim, the simulated HID device attached to the
// kernel through /dev/uhid or as a USB gadget. Kept apart from the uhid code so it can be tested
// on machines without uhid.
#ifndef SIM_OPTIONS_H
#define SIM_OPTIONS_H

#include "sim_device.h"

#include <string>
#include <vector>

namespace sim {

// Largest report data behind the id byte that one uhid event carries.
const unsigned kMaxReportDataBytes = 4095;

struct SimOptions {
    DeviceConfig device;
    std::string logPath;       // empty: no log
    std::string readyFile;     // empty: no ready file
    unsigned exitAfterOutputs = 0;  // 0: run until a signal
    // After a DETACH: destroy the uhid device and create it again once the
    // detach delay has passed (a device that resets re-enumerates); false:
    // only log it.
    bool reenumerateOnDetach = true;
    // The wTransferSize the DFU functional report announces, when it is to
    // differ from the block size the device takes (a device that describes
    // itself wrongly); -1: the real one.
    long announcedTransferSize = -1;
    // Present the device as a USB gadget (configfs + FunctionFS on a free
    // UDC, e.g. dummy_hcd's) instead of through /dev/uhid.
    bool usb = false;
    // Present the DFU side alone as a standard USB DFU class interface
    // through gadgetfs (transfer size at most 256), for any DFU host.
    bool usbDfuClass = false;
    // Run at real-time priority (the DFU class device always does).
    bool realtime = false;
    // With --usb: keep answers the host has not collected yet, queued behind
    // one another as a device's interrupt endpoint holds them, instead of
    // dropping them when the next request arrives.
    bool keepUncollectedInput = false;
    // With --usb: how long the device takes to send each answer.
    unsigned answerDelayMs = 0;
};

enum class ParseOutcome { kRun, kHelp, kError };

// Parses the arguments after the program name into *options; on kError,
// *error says what is wrong.
ParseOutcome parseSimOptions(const std::vector<std::string>& args, SimOptions* options,
                             std::string* error);

const char* simUsage();

} // namespace sim

#endif
