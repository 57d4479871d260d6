#include "kr_devicediagnosis.h"

#include "HidDfu.h"
#include "vun_hid.h"

namespace kr {

void printDeviceInUse(FILE* err, uint32_t vid, uint32_t pid, const std::string& path)
{
    if (path.empty())
        std::fprintf(err, "Device %04x:%04x is in use by another program\n", static_cast<unsigned>(vid),
                     static_cast<unsigned>(pid));
    else
        std::fprintf(err, "Device %04x:%04x (%s) is in use by another program\n", static_cast<unsigned>(vid),
                     static_cast<unsigned>(pid), path.c_str());
    std::fflush(err);
}

bool explainDeniedDevice(FILE* err, uint32_t vid, uint32_t pid)
{
    const std::string path = hid_find_denied(vid, pid);
    if (path.empty())
        return false;
#ifdef _WIN32
    std::fprintf(err, "Device %04x:%04x (%s) is attached, but access to it was denied\n",
                 static_cast<unsigned>(vid), static_cast<unsigned>(pid), path.c_str());
#else
    std::fprintf(err,
                 "Device %04x:%04x is attached, but this user may not open %s; install the udev rule "
                 "(README, \"Using it on Linux without root\")\n",
                 static_cast<unsigned>(vid), static_cast<unsigned>(pid), path.c_str());
#endif
    std::fflush(err);
    return true;
}

const char* upgradeRefusalText(int32_t reason)
{
    switch (reason) {
    case HIDDFU_ERROR_FILE_INVALID:
        return "Upgrade refused: the library could not read the DFU file, or it failed its checks";
    case HIDDFU_ERROR_EMPTY_PAYLOAD:
        return "Upgrade refused: the DFU file has no firmware payload to download";
    case HIDDFU_ERROR_WRONG_DEVICE:
        return "Upgrade refused: the DFU file is for another vendor or product id than the device";
    case HIDDFU_ERROR_CANNOT_DOWNLOAD:
        return "Upgrade refused: the device's DFU functional report could not be read or is malformed";
    case HIDDFU_ERROR_DOWNLOAD_NOT_SUPPORTED:
        return "Upgrade refused: the device's DFU functional report has bitCanDnload clear "
               "(the device does not accept downloads)";
    case HIDDFU_ERROR_TRANSFER_SIZE_ZERO:
        return "Upgrade refused: the device's DFU functional report gives a wTransferSize of 0";
    case HIDDFU_ERROR_TRANSFER_SIZE_TOO_LARGE:
        return "Upgrade refused: the device's wTransferSize is larger than its DFU request report "
               "can carry";
    case HIDDFU_ERROR_SYSTEM:
        return "Upgrade refused: the system refused a resource (no worker thread or no memory)";
    default:
        return nullptr;
    }
}

} // namespace kr
