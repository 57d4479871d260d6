// The HID calls the upgrade library makes, behind an interface so that the
// protocol engine can be driven by a scripted device in the tests. The
// library itself uses PlatformHid, which forwards to the HID platform layer
// (the shipped backend in the library, the in-process simulator in tests).
#ifndef HIDDFU_HID_ACCESS_H
#define HIDDFU_HID_ACCESS_H

#include "hid_platform.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace hiddfu {

using hidplatform::Access;
using hidplatform::FeatureReport;
using hidplatform::Handle;
using hidplatform::kInvalidHandle;
using hidplatform::OpenFailure;

class HidAccess {
public:
    virtual ~HidAccess() = default;

    // As the functions of the same name in hid_platform.h.
    virtual unsigned interfaceCount() = 0;
    virtual bool peekAttributes(unsigned index, uint16_t* vendorId, uint16_t* productId) = 0;
    virtual Handle openByIndex(unsigned index, Access access, OpenFailure* why) = 0;
    virtual void close(Handle handle) = 0;
    virtual bool getAttributes(Handle handle, uint16_t* vendorId, uint16_t* productId) = 0;
    virtual bool getFeatureReports(Handle handle, std::vector<FeatureReport>* reports) = 0;
    virtual bool setFeature(Handle handle, const uint8_t* report, size_t length) = 0;
    virtual bool getFeature(Handle handle, uint8_t* report, size_t capacity, size_t* got) = 0;
};

// The HID platform layer of the program or library this is linked into.
class PlatformHid : public HidAccess {
public:
    unsigned interfaceCount() override;
    bool peekAttributes(unsigned index, uint16_t* vendorId, uint16_t* productId) override;
    Handle openByIndex(unsigned index, Access access, OpenFailure* why) override;
    void close(Handle handle) override;
    bool getAttributes(Handle handle, uint16_t* vendorId, uint16_t* productId) override;
    bool getFeatureReports(Handle handle, std::vector<FeatureReport>* reports) override;
    bool setFeature(Handle handle, const uint8_t* report, size_t length) override;
    bool getFeature(Handle handle, uint8_t* report, size_t capacity, size_t* got) override;
};

} // namespace hiddfu

#endif
