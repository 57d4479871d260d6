/*
 * The device-upgrade library: seven C calls that find an upgradable HID
 * device, download a DFU file to it on a worker thread, report progress and
 * the result, and reset it. The protocol (DFU 1.1 in HID feature reports)
 * and every result are described in docs/protocol.md; HidDfuResults.h
 * names the result numbers.
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

#include "HidDfuResults.h"
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

/* The library's own version (1.0.0 and a build number). The caller zeroes
 * the four outputs first. HIDDFU_SUCCESS; HIDDFU_ERROR_INVALID_ARGUMENT
 * when an output is null. */
HIDDFU_API int32 hidDfuGetVersion(uint16* major, uint16* minor, uint16* release, uint16* build);

/* Ends any connection, counts the upgradable devices with these ids and
 * connects to the first one no other program holds; the connection holds the
 * device for this process alone until hidDfuDisconnect. usagePage and usage
 * are reserved to narrow the search to one HID collection; this version does
 * not use them (pass 0). The caller zeroes *deviceCount first; 0 afterwards
 * means none was found (devices held elsewhere are counted).
 * HIDDFU_SUCCESS when connected, HIDDFU_ERROR_NOT_CONNECTED when none was
 * found, HIDDFU_ERROR_DEVICE_BUSY when every one found is held by another
 * program. */
HIDDFU_API int32 hidDfuConnect(uint16 idVendor, uint16 idProduct, uint16 usagePage, uint16 usage,
                               uint16* deviceCount);

/* Ends the connection; a running upgrade is stopped first (its result
 * becomes -9). Harmless when not connected. 0. */
HIDDFU_API int32 hidDfuDisconnect(void);

/* Reads and checks the DFU file at `path` (suffix, CRC, a payload, the
 * connected device's vendor and product id) and starts downloading its
 * payload on a worker thread. `flags` is 1 (the file carries a DFU suffix).
 * 0: the transfer runs on by itself; a negative number: refused, the device
 * untouched.
 *
 * `path` is opened with the C runtime's fopen. On Windows it is therefore
 * in the process's ANSI code page: UTF-8 in a program that selects it with
 * the activeCodePage manifest setting, as hiddfu.exe does (Windows 10
 * version 1903 and later), the system's code page otherwise. Elsewhere it
 * is the file name's bytes as the file system has them. */
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
