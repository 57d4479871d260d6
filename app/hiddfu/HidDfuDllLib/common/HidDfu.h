/*
 * The device-upgrade library: seven C calls that find an upgradable HID
 * device, download a DFU file to it on a worker thread, report progress and
 * the result, and reset it.
 *
 * Calling order: hidDfuGetVersion needs no connection. hidDfuUpgrade and
 * hidDfuResetDevice act on the device connected by hidDfuConnect. After a
 * started upgrade, poll hidDfuGetProgress until it returns 100, then ask
 * hidDfuGetResult once, then call hidDfuDisconnect.
 */
#ifndef HIDDFU_H
#define HIDDFU_H

#include "HidDfuTypes.h"

/* Functions need no dllimport on the calling side: the import library's
 * thunks serve plain calls, and a test double linked in place of the
 * library then needs no special treatment. */
#if defined(_WIN32)
#  if defined(HIDDFU_BUILDING_LIBRARY)
#    define HIDDFU_API __declspec(dllexport)
#  else
#    define HIDDFU_API
#  endif
#elif defined(__GNUC__)
#  define HIDDFU_API __attribute__((visibility("default")))
#else
#  define HIDDFU_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The library's own version. The caller zeroes the four outputs first. */
HIDDFU_API int32 hidDfuGetVersion(uint16* major, uint16* minor, uint16* release, uint16* build);

/* Counts the upgradable devices with these ids and connects to the first.
 * usagePage and usage narrow the search to one HID collection; 0 means any.
 * The caller zeroes *deviceCount first; 0 afterwards means none was found. */
HIDDFU_API int32 hidDfuConnect(uint16 idVendor, uint16 idProduct, uint16 usagePage, uint16 usage,
                               uint16* deviceCount);

/* Ends the connection; harmless when not connected. */
HIDDFU_API int32 hidDfuDisconnect(void);

/* Starts downloading the DFU file at `path` to the connected device. `flags`
 * is 1 (the file carries a DFU suffix). 0: the transfer runs on by itself;
 * anything else: refused, the device untouched. */
HIDDFU_API int32 hidDfuUpgrade(const char* path, uint8 flags);

/* Percentage of the running upgrade, 0 to 99; 100 once it has ended. */
HIDDFU_API uint8 hidDfuGetProgress(void);

/* The outcome of the ended upgrade: 0 for success, otherwise an error number. */
HIDDFU_API int32 hidDfuGetResult(void);

/* Resets the connected device. */
HIDDFU_API int32 hidDfuResetDevice(void);

#ifdef __cplusplus
}
#endif

#endif
