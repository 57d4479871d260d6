// The seven exported C calls of HidDfu.h: one process-wide UpgradeLibrary
// over the HID platform layer. No exception leaves the library: each call
// turns one into kSystemError.
#include "HidDfu.h"

#include "results.h"
#include "upgrade_library.h"

#include <exception>

namespace {

hiddfu::UpgradeLibrary& library()
{
    // Built on first use, destroyed at exit after a last disconnect (the
    // destructor joins a worker that is still running).
    static hiddfu::UpgradeLibrary instance;
    return instance;
}

template <typename Call>
int32 guarded(Call call)
{
    try {
        return call();
    } catch (const std::exception&) {
        return hiddfu::result::kSystemError;
    }
}

} // namespace

extern "C" {

HIDDFU_API int32 hidDfuGetVersion(uint16* major, uint16* minor, uint16* release, uint16* build)
{
    const hiddfu::LibraryVersion version = hiddfu::libraryVersion();
    if (major == nullptr || minor == nullptr || release == nullptr || build == nullptr)
        return hiddfu::result::kInvalidArgument;
    *major = version.major;
    *minor = version.minor;
    *release = version.release;
    *build = version.build;
    return hiddfu::result::kSuccess;
}

HIDDFU_API int32 hidDfuConnect(uint16 idVendor, uint16 idProduct, uint16 usagePage, uint16 usage,
                               uint16* deviceCount)
{
    return guarded([=] { return library().connect(idVendor, idProduct, usagePage, usage, deviceCount); });
}

HIDDFU_API int32 hidDfuDisconnect(void)
{
    return guarded([] { return library().disconnect(); });
}

HIDDFU_API int32 hidDfuUpgrade(const char* path, uint8 flags)
{
    return guarded([=] { return library().upgrade(path, flags); });
}

HIDDFU_API uint8 hidDfuGetProgress(void)
{
    return library().progress();
}

HIDDFU_API int32 hidDfuGetResult(void)
{
    return library().result();
}

HIDDFU_API int32 hidDfuResetDevice(void)
{
    return guarded([] { return library().resetDevice(); });
}

} // extern "C"
