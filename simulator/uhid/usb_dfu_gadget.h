// hiddfu-sim's DFU class transport: the device core presented as a
// standard USB DFU interface (in DFU mode) through gadgetfs, so that any
// DFU host, not only hiddfu, can download into it.
#ifndef SIM_USB_DFU_GADGET_H
#define SIM_USB_DFU_GADGET_H

#include "sim_options.h"

namespace sim {

// Runs the device until a signal on signalFd, a vanishing fault or a
// failure; returns the program's exit status.
int runUsbDfuClassDevice(const SimOptions& options, int signalFd);

} // namespace sim

#endif
