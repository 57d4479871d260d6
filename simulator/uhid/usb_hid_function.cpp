#include "usb_hid_function.h"

#include <cstddef>

namespace sim {
namespace usb {

namespace {

// USB 2.0 chapter 9 and HID 1.11 numbers.
const uint8_t kDescriptorInterface = 0x04;
const uint8_t kDescriptorEndpoint = 0x05;
const uint8_t kDescriptorHid = 0x21;
const uint8_t kDescriptorReport = 0x22;
const uint8_t kClassHid = 0x03;
const uint8_t kEndpointIn1 = 0x81;
const uint8_t kTransferInterrupt = 0x03;
const uint8_t kRequestGetDescriptor = 0x06;
const uint8_t kRequestGetReport = 0x01;
const uint8_t kRequestSetReport = 0x09;
const uint8_t kRequestSetIdle = 0x0A;
const uint8_t kStandardInterfaceIn = 0x81;
const uint8_t kClassInterfaceIn = 0xA1;
const uint8_t kClassInterfaceOut = 0x21;
const uint8_t kReportTypeOutput = 2;
const uint8_t kReportTypeFeature = 3;
// A 1 ms polling interval: in frames at full speed, as 2^(n-1)
// microframes at high speed.
const uint8_t kIntervalFullSpeed = 1;
const uint8_t kIntervalHighSpeed = 4;

// linux/usb/functionfs.h
const uint32_t kDescriptorsMagicV2 = 3;
const uint32_t kStringsMagic = 2;
const uint32_t kHasFullSpeed = 1;
const uint32_t kHasHighSpeed = 2;

void putLe16(std::vector<uint8_t>* out, uint16_t value)
{
    out->push_back(static_cast<uint8_t>(value & 0xFF));
    out->push_back(static_cast<uint8_t>(value >> 8));
}

void putLe32(std::vector<uint8_t>* out, uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        out->push_back(static_cast<uint8_t>((value >> shift) & 0xFF));
}

void setLe32(std::vector<uint8_t>* out, size_t at, uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        (*out)[at + static_cast<size_t>(shift / 8)] = static_cast<uint8_t>((value >> shift) & 0xFF);
}

// Interface, HID and endpoint descriptor for one speed: 3 descriptors.
void putInterface(std::vector<uint8_t>* out, uint16_t reportDescriptorBytes, uint8_t interval)
{
    const uint8_t interface[] = {9, kDescriptorInterface, 0, 0, 1, kClassHid, 0, 0, 0};
    out->insert(out->end(), interface, interface + sizeof interface);
    const std::vector<uint8_t> hid = hidDescriptor(reportDescriptorBytes);
    out->insert(out->end(), hid.begin(), hid.end());
    const uint8_t endpoint[] = {7, kDescriptorEndpoint, kEndpointIn1, kTransferInterrupt};
    out->insert(out->end(), endpoint, endpoint + sizeof endpoint);
    putLe16(out, kInterruptPacketBytes);
    out->push_back(interval);
}

} // namespace

std::vector<uint8_t> hidDescriptor(uint16_t reportDescriptorBytes)
{
    std::vector<uint8_t> descriptor = {9, kDescriptorHid, 0x11, 0x01, 0, 1, kDescriptorReport};
    putLe16(&descriptor, reportDescriptorBytes);
    return descriptor;
}

std::vector<uint8_t> functionFsDescriptors(uint16_t reportDescriptorBytes)
{
    const uint32_t descriptorsPerSpeed = 3;
    std::vector<uint8_t> blob;
    putLe32(&blob, kDescriptorsMagicV2);
    putLe32(&blob, 0);  // total length, set below
    putLe32(&blob, kHasFullSpeed | kHasHighSpeed);
    putLe32(&blob, descriptorsPerSpeed);
    putLe32(&blob, descriptorsPerSpeed);
    putInterface(&blob, reportDescriptorBytes, kIntervalFullSpeed);
    putInterface(&blob, reportDescriptorBytes, kIntervalHighSpeed);
    setLe32(&blob, 4, static_cast<uint32_t>(blob.size()));
    return blob;
}

std::vector<uint8_t> functionFsStrings()
{
    std::vector<uint8_t> blob;
    putLe32(&blob, kStringsMagic);
    putLe32(&blob, 16);  // length: this header alone
    putLe32(&blob, 0);   // strings
    putLe32(&blob, 0);   // languages
    return blob;
}

ControlAction classifySetup(const SetupPacket& setup)
{
    const uint8_t reportType = static_cast<uint8_t>(setup.value >> 8);
    if (setup.requestType == kStandardInterfaceIn && setup.request == kRequestGetDescriptor) {
        if (reportType == kDescriptorReport)
            return ControlAction::kSendReportDescriptor;
        if (reportType == kDescriptorHid)
            return ControlAction::kSendHidDescriptor;
        return ControlAction::kStall;
    }
    if (setup.requestType == kClassInterfaceIn && setup.request == kRequestGetReport)
        return reportType == kReportTypeFeature ? ControlAction::kGetFeatureReport : ControlAction::kStall;
    if (setup.requestType == kClassInterfaceOut && setup.request == kRequestSetReport) {
        if (reportType == kReportTypeFeature)
            return ControlAction::kSetFeatureReport;
        if (reportType == kReportTypeOutput)
            return ControlAction::kSetOutputReport;
        return ControlAction::kStall;
    }
    if (setup.requestType == kClassInterfaceOut && setup.request == kRequestSetIdle)
        return ControlAction::kAcknowledge;
    return ControlAction::kStall;
}

} // namespace usb
} // namespace sim
