#include "usb_dfu_function.h"

#include "sim_io.h"

namespace sim {
namespace usbdfu {

namespace {

const uint8_t kDescriptorDevice = 1;
const uint8_t kDescriptorConfiguration = 2;
const uint8_t kDescriptorString = 3;
const uint8_t kDescriptorInterface = 4;
const uint8_t kDescriptorDfuFunctional = 0x21;

const uint8_t kRequestGetStatus = 0;
const uint8_t kRequestGetDescriptor = 6;
const uint8_t kRequestSetConfiguration = 9;
const uint8_t kRequestGetInterface = 10;
const uint8_t kRequestSetInterface = 11;

const uint8_t kTypeMask = 0x60;
const uint8_t kTypeStandard = 0x00;
const uint8_t kTypeClass = 0x20;
const uint8_t kRecipientMask = 0x1F;
const uint8_t kRecipientDevice = 0;
const uint8_t kRecipientInterface = 1;

const uint8_t kConfigurationValue = 1;
const uint8_t kBusPowered = 0x80;
const uint8_t kMaxPower100mA = 50;  // in 2 mA units
const uint8_t kEp0PacketBytes = 64;

const char kManufacturerName[] = "hiddfu";
const char kInterfaceNameText[] = "hiddfu device core";

void putLe16(std::vector<uint8_t>* out, uint16_t value)
{
    out->push_back(static_cast<uint8_t>(value & 0xFF));
    out->push_back(static_cast<uint8_t>(value >> 8));
}

uint8_t attributesOf(const DfuConfig& dfu)
{
    uint8_t attributes = 0;
    if (dfu.canDownload)
        attributes |= dfu::kAttrCanDownload;
    if (dfu.manifestationTolerant)
        attributes |= dfu::kAttrManifestationTolerant;
    if (dfu.willDetach)
        attributes |= dfu::kAttrWillDetach;
    return attributes;
}

std::vector<uint8_t> utf16Descriptor(const std::string& text)
{
    std::vector<uint8_t> descriptor{static_cast<uint8_t>(2 + 2 * text.size()), kDescriptorString};
    for (char c : text)
        putLe16(&descriptor, static_cast<uint8_t>(c));
    return descriptor;
}

} // namespace

std::vector<uint8_t> functionalDescriptor(const DfuConfig& dfu)
{
    std::vector<uint8_t> descriptor{9, kDescriptorDfuFunctional, attributesOf(dfu)};
    putLe16(&descriptor, dfu.detachTimeoutMs);
    putLe16(&descriptor, dfu.transferSize);
    putLe16(&descriptor, dfu::kBcdDfu);
    return descriptor;
}

std::vector<uint8_t> gadgetfsDescriptors(const DfuConfig& dfu, uint16_t vendorId, uint16_t productId)
{
    const std::vector<uint8_t> functional = functionalDescriptor(dfu);
    const uint8_t interface[] = {9, kDescriptorInterface, 0, 0, 0, 0xFE, 0x01, 0x02, kInterfaceName};
    std::vector<uint8_t> blob{0, 0, 0, 0};  // the format tag
    blob.insert(blob.end(), {9, kDescriptorConfiguration});
    putLe16(&blob, static_cast<uint16_t>(9 + sizeof interface + functional.size()));
    blob.insert(blob.end(), {1, kConfigurationValue, 0, kBusPowered, kMaxPower100mA});
    blob.insert(blob.end(), interface, interface + sizeof interface);
    blob.insert(blob.end(), functional.begin(), functional.end());
    blob.insert(blob.end(), {18, kDescriptorDevice});
    putLe16(&blob, 0x0200);                       // bcdUSB
    blob.insert(blob.end(), {0, 0, 0, kEp0PacketBytes});  // class from the interface
    putLe16(&blob, vendorId);
    putLe16(&blob, productId);
    putLe16(&blob, 0x0100);                       // bcdDevice
    blob.insert(blob.end(), {kManufacturer, kProduct, kSerialNumber, 1});
    return blob;
}

std::vector<uint8_t> stringDescriptor(uint8_t index, const std::string& serialNumber, uint16_t wanted)
{
    std::vector<uint8_t> descriptor;
    switch (index) {
    case kLanguages:
        descriptor = {4, kDescriptorString, 0x09, 0x04};  // English (United States)
        break;
    case kManufacturer:
        descriptor = utf16Descriptor(kManufacturerName);
        break;
    case kProduct:
        descriptor = utf16Descriptor(kSimDeviceName);
        break;
    case kSerialNumber:
        descriptor = utf16Descriptor(serialNumber);
        break;
    case kInterfaceName:
        descriptor = utf16Descriptor(kInterfaceNameText);
        break;
    default:
        return descriptor;
    }
    if (descriptor.size() > wanted)
        descriptor.resize(wanted);
    return descriptor;
}

ControlAction classifySetup(const usb::SetupPacket& setup)
{
    const uint8_t type = setup.requestType & kTypeMask;
    const uint8_t recipient = setup.requestType & kRecipientMask;
    const bool in = usb::isDeviceToHost(setup);
    if (type == kTypeClass && recipient == kRecipientInterface && setup.index == 0)
        return ControlAction::kDfuRequest;
    if (type != kTypeStandard)
        return ControlAction::kStall;
    switch (setup.request) {
    case kRequestGetDescriptor:
        return in && recipient == kRecipientDevice && setup.value >> 8 == kDescriptorString
                   ? ControlAction::kSendString
                   : ControlAction::kStall;
    case kRequestGetStatus:
        return in && setup.length >= 2 ? ControlAction::kSendZeros : ControlAction::kStall;
    case kRequestGetInterface:
        return in && recipient == kRecipientInterface && setup.index == 0 ? ControlAction::kSendZeros
                                                                          : ControlAction::kStall;
    case kRequestSetConfiguration:
        return !in && recipient == kRecipientDevice && (setup.value == 0 || setup.value == kConfigurationValue)
                   ? ControlAction::kAcknowledge
                   : ControlAction::kStall;
    case kRequestSetInterface:
        return !in && recipient == kRecipientInterface && setup.index == 0 && setup.value == 0
                   ? ControlAction::kAcknowledge
                   : ControlAction::kStall;
    default:
        return ControlAction::kStall;
    }
}

bool isSetConfiguration(const usb::SetupPacket& setup)
{
    return setup.requestType == 0x00 && setup.request == kRequestSetConfiguration;
}

hiddfu_dev_setup coreSetup(const usb::SetupPacket& setup)
{
    hiddfu_dev_setup core{};
    core.to_host = usb::isDeviceToHost(setup) ? 1 : 0;
    core.request = setup.request;
    core.value = setup.value;
    core.length = setup.length;
    return core;
}

} // namespace usbdfu
} // namespace sim
