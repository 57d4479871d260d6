// What hiddfu-sim's DFU class transport declares and how it reads the
// control requests it gets, kept free of kernel I/O so it can be tested
// anywhere: a full-speed USB device with one standard DFU interface (class
// 0xFE, subclass 1, protocol 2: DFU mode) and its DFU functional
// descriptor, as gadgetfs takes them, its string descriptors, and the
// decision what a setup packet asks for.
#ifndef SIM_USB_DFU_FUNCTION_H
#define SIM_USB_DFU_FUNCTION_H

#include "dfu_machine.h"
#include "usb_hid_function.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sim {
namespace usbdfu {

// gadgetfs answers a control transfer from one buffer of this many bytes:
// a longer OUT data stage fails at the host, a longer IN answer is cut.
const uint16_t kMaxControlBytes = 256;

// The string descriptor indexes the descriptors refer to.
enum StringIndex : uint8_t {
    kLanguages = 0,
    kManufacturer = 1,
    kProduct = 2,
    kSerialNumber = 3,
    kInterfaceName = 4,
};

// The DFU functional descriptor (type 0x21) for the device's DFU settings.
std::vector<uint8_t> functionalDescriptor(const DfuConfig& dfu);

// What is written to gadgetfs's device file: a zero tag, the full-speed
// configuration (configuration, interface, functional descriptor), then the
// device descriptor.
std::vector<uint8_t> gadgetfsDescriptors(const DfuConfig& dfu, uint16_t vendorId, uint16_t productId);

// String descriptor `index` (English only), cut to `wanted` bytes as the
// control transfer cuts it; empty for an index the device does not have.
std::vector<uint8_t> stringDescriptor(uint8_t index, const std::string& serialNumber, uint16_t wanted);

enum class ControlAction {
    kDfuRequest,          // a DFU class request to the interface: the core's
    kSendString,          // GET_DESCRIPTOR(string)
    kSendZeros,           // GET_STATUS, GET_INTERFACE: all zero, wLength bytes
    kAcknowledge,         // SET_CONFIGURATION(0 or 1), SET_INTERFACE(0): accepted
    kStall,               // anything else: refused
};

ControlAction classifySetup(const usb::SetupPacket& setup);

// Whether the request is SET_CONFIGURATION (to any configuration).
bool isSetConfiguration(const usb::SetupPacket& setup);

// The setup packet as the device core takes it.
hiddfu_dev_setup coreSetup(const usb::SetupPacket& setup);

} // namespace usbdfu
} // namespace sim

#endif
