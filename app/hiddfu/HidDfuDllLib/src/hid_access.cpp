#include "hid_access.h"

namespace hiddfu {

unsigned PlatformHid::interfaceCount()
{
    return hidplatform::interfaceCount();
}

bool PlatformHid::peekAttributes(unsigned index, uint16_t* vendorId, uint16_t* productId)
{
    return hidplatform::peekAttributes(index, vendorId, productId);
}

Handle PlatformHid::openByIndex(unsigned index, Access access, OpenFailure* why)
{
    return hidplatform::openByIndex(index, access, why);
}

void PlatformHid::close(Handle handle)
{
    hidplatform::close(handle);
}

bool PlatformHid::getAttributes(Handle handle, uint16_t* vendorId, uint16_t* productId)
{
    return hidplatform::getAttributes(handle, vendorId, productId);
}

bool PlatformHid::getFeatureReports(Handle handle, std::vector<FeatureReport>* reports)
{
    return hidplatform::getFeatureReports(handle, reports);
}

bool PlatformHid::setFeature(Handle handle, const uint8_t* report, size_t length)
{
    return hidplatform::setFeature(handle, report, length);
}

bool PlatformHid::getFeature(Handle handle, uint8_t* report, size_t capacity, size_t* got)
{
    return hidplatform::getFeature(handle, report, capacity, got);
}

} // namespace hiddfu
