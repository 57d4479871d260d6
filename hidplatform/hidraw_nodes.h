// The hidraw nodes in sysfs (Linux): which exist, in a stable order, and
// which one belongs to a given HID device. The directory is a parameter so
// that tests can lay out a fake tree.
#ifndef HIDRAW_NODES_H
#define HIDRAW_NODES_H

#include "hid_platform.h"

#include <cstdint>
#include <string>
#include <vector>

namespace hidplatform {

const char* const kHidrawClassDir = "/sys/class/hidraw";

// The number N of a node named "hidrawN" (decimal digits only, no sign, no
// leading zero unless N is 0); false for any other name.
bool parseHidrawNodeNumber(const std::string& name, unsigned* number);

// The hidraw node names in `classDir` ordered by node number (hidraw2 before
// hidraw10). Empty when the directory is missing (no hidraw in the kernel).
std::vector<std::string> listHidrawNodes(const std::string& classDir = kHidrawClassDir);

// The first node, in listHidrawNodes order, whose HID device's uevent file
// (classDir/NODE/device/uevent) holds exactly the line `ueventLine`, e.g.
// "HID_UNIQ=sim-42"; empty when there is none.
std::string findHidrawNodeWithUevent(const std::string& ueventLine,
                                     const std::string& classDir = kHidrawClassDir);

// The vendor and product id in a HID device's uevent line "HID_ID=BUS:VENDOR:PRODUCT"
// (hexadecimal, as the kernel writes "HID_ID=%04X:%08X:%08X"). The kernel
// keeps 32-bit ids; as HIDIOCGRAWINFO's users do, only their low 16 bits are
// kept. False for any other line.
bool parseHidIdLine(const std::string& line, uint16_t* vendorId, uint16_t* productId);

// The ids of `node` from classDir/NODE/device/uevent, without opening the
// node itself (its permissions do not matter). False when the file or its
// HID_ID line is missing or malformed.
bool readHidrawNodeIds(const std::string& node, uint16_t* vendorId, uint16_t* productId,
                       const std::string& classDir = kHidrawClassDir);

// Opens the node at `path` non-blocking for reading and writing; for
// Access::kExclusive also takes an exclusive flock on it without waiting, so
// that it is refused (kInUse) while another open file holds that lock. The
// lock lives as long as the descriptor. Part of the hidraw backend; declared
// here so that tests can run it on ordinary files.
Handle openHidrawPath(const std::string& path, Access access, OpenFailure* why);

} // namespace hidplatform

#endif
