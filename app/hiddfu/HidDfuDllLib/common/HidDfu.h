/*
 * The device-upgrade library: seven C calls that find an upgradable HID
 * device, download a DFU file to it on a worker thread, report progress and
 * the result, and reset it. The protocol (DFU 1.1 in HID feature reports)
 * and every result number are described in docs/protocol.md.
 *
 * Calling order: hidDfuGetVersion needs no connection. hidDfuUpgrade and
 * hidDfuResetDevice act on the device connected by hidDfuConnect. After a
 * started upgrade, poll hidDfuGetProgress until it returns 100, then ask
 * hidDfuGetResult once, then call hidDfuDisconnect.
 *
 * Threads: the calls may come from different threads (the library keeps a
 * mutex); hidDfuGetProgress and hidDfuGetResult never block.
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

/* Result numbers a caller may want to tell apart by name (the whole list is
 * in docs/protocol.md, "Results"). */
#define HIDDFU_FILE_INVALID (-4)
#define HIDDFU_WRONG_DEVICE (-6)
#define HIDDFU_CANNOT_DOWNLOAD (-8)
#define HIDDFU_SYSTEM_ERROR (-10)
#define HIDDFU_DEVICE_BUSY (-12)
#define HIDDFU_EMPTY_PAYLOAD (-13)
#define HIDDFU_DOWNLOAD_NOT_SUPPORTED (-14)
#define HIDDFU_TRANSFER_SIZE_ZERO (-15)
#define HIDDFU_TRANSFER_SIZE_TOO_LARGE (-16)

#ifdef __cplusplus
extern "C" {
#endif

/* The library's own version (1.0.0 and a build number). The caller zeroes
 * the four outputs first. 0; -11 when an output is null. */
HIDDFU_API int32 hidDfuGetVersion(uint16* major, uint16* minor, uint16* release, uint16* build);

/* Ends any connection, counts the upgradable devices with these ids and
 * connects to the first one no other program holds; the connection holds the
 * device for this process alone until hidDfuDisconnect. usagePage and usage
 * are reserved to narrow the search to one HID collection; this version does
 * not use them (pass 0). The caller zeroes *deviceCount first; 0 afterwards
 * means none was found (devices held elsewhere are counted). 0 when
 * connected, -5 when none was found, -12 (HIDDFU_DEVICE_BUSY) when every one
 * found is held by another program. */
HIDDFU_API int32 hidDfuConnect(uint16 idVendor, uint16 idProduct, uint16 usagePage, uint16 usage,
                               uint16* deviceCount);

/* Ends the connection; a running upgrade is stopped first (its result
 * becomes -9). Harmless when not connected. 0. */
HIDDFU_API int32 hidDfuDisconnect(void);

/* Reads and checks the DFU file at `path` (suffix, CRC, a payload, the
 * connected device's vendor and product id) and starts downloading its
 * payload on a worker thread. `flags` is 1 (the file carries a DFU suffix).
 * 0: the transfer runs on by itself; a negative number: refused, the device
 * untouched. */
HIDDFU_API int32 hidDfuUpgrade(const char* path, uint8 flags);

/* Percentage of the payload the device has acknowledged, 0 to 99 while the
 * upgrade runs; 100 once it has ended, successfully or not (and when none
 * runs). */
HIDDFU_API uint8 hidDfuGetProgress(void);

/* The outcome of the ended upgrade: 0 for success, 1 to 15 the device's DFU
 * status, a negative number for a failure on the host's side. After a
 * hidDfuUpgrade that the file or the device refused: why, more precisely
 * than that call's own result (-4, -6, -8, or -13 to -16). */
HIDDFU_API int32 hidDfuGetResult(void);

/* Resets the connected device (DFU DETACH). 0 when the request went out. */
HIDDFU_API int32 hidDfuResetDevice(void);

#ifdef __cplusplus
}
#endif

#endif
