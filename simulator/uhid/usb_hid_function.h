// What hiddfu-sim's USB transport declares and how it reads the control
// requests it gets, kept free of kernel I/O so it can be tested anywhere:
// the FunctionFS descriptor and string blobs of one HID interface (no boot
// protocol, one interrupt IN endpoint for input reports; output reports come
// as SET_REPORT on the control endpoint, as usbhid sends them to a device
// without an interrupt OUT endpoint), and the decision what a setup packet
// asks for.
#ifndef SIM_USB_HID_FUNCTION_H
#define SIM_USB_HID_FUNCTION_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {
namespace usb {

// The interrupt IN endpoint's largest packet: full speed's maximum.
const uint16_t kInterruptPacketBytes = 64;

// The HID class descriptor (type 0x21) announcing one report descriptor of
// `reportDescriptorBytes` bytes.
std::vector<uint8_t> hidDescriptor(uint16_t reportDescriptorBytes);

// What is written first to a FunctionFS ep0: the interface, HID and
// endpoint descriptors for full and high speed, in the v2 layout.
std::vector<uint8_t> functionFsDescriptors(uint16_t reportDescriptorBytes);

// What is written second: no strings (the gadget's own strings name it).
std::vector<uint8_t> functionFsStrings();

struct SetupPacket {
    uint8_t requestType = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;
};

enum class ControlAction {
    kSendReportDescriptor,  // GET_DESCRIPTOR(report) to the interface
    kSendHidDescriptor,     // GET_DESCRIPTOR(HID) to the interface
    kGetFeatureReport,      // GET_REPORT(feature, id = reportId())
    kSetFeatureReport,      // SET_REPORT(feature): data follows
    kSetOutputReport,       // SET_REPORT(output): data follows
    kAcknowledge,           // SET_IDLE: accepted, nothing to do
    kStall,                 // anything else: refused
};

ControlAction classifySetup(const SetupPacket& setup);

// The report id a GET_REPORT/SET_REPORT names (the low byte of wValue).
inline uint8_t reportId(const SetupPacket& setup)
{
    return static_cast<uint8_t>(setup.value & 0xFF);
}

// True when the request's data stage goes from the device to the host.
inline bool isDeviceToHost(const SetupPacket& setup)
{
    return (setup.requestType & 0x80) != 0;
}

} // namespace usb
} // namespace sim

#endif
