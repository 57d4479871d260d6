// The hidraw nodes in sysfs (Linux): which exist, in a stable order, and
// which one belongs to a given HID device. The directory is a parameter so
// that tests can lay out a fake tree.
#ifndef HIDRAW_NODES_H
#define HIDRAW_NODES_H

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

} // namespace hidplatform

#endif
