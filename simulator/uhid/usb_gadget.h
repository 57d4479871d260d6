// hiddfu-sim's USB transport: the device model presented as a USB HID device
// through the kernel's gadget stack, so that the host reaches it through
// usbhid exactly as it reaches a device on a cable.
#ifndef SIM_USB_GADGET_H
#define SIM_USB_GADGET_H

#include "sim_options.h"

namespace sim {

// Runs the device until a signal on signalFd, the output limit, a vanishing
// fault or a failure; returns the program's exit status.
int runUsbDevice(const SimOptions& options, int signalFd);

} // namespace sim

#endif
