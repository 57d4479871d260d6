/*
 * The numbers that the device-upgrade library's calls return (HidDfu.h).
 * 0 is success; 1 to 15 are the device's own DFU status codes (1 errTARGET
 * to 15 errSTALLEDPKT), which only hidDfuGetResult returns; the negative
 * numbers are failures on the host's side. docs/protocol.md explains when
 * each call returns which.
 */
#ifndef HIDDFU_RESULTS_PUBLIC_H
#define HIDDFU_RESULTS_PUBLIC_H

#define HIDDFU_SUCCESS 0

/* The range of the device's DFU status codes (bStatus of DFU_GETSTATUS). */
#define HIDDFU_DFU_STATUS_FIRST 1
#define HIDDFU_DFU_STATUS_LAST 15

/* A feature report failed: device unplugged, not answering within the
 * system's time limit, or another I/O error. */
#define HIDDFU_ERROR_DEVICE_LOST (-1)
/* The device stayed busy (dfuDNBUSY, manifestation) beyond the bound. */
#define HIDDFU_ERROR_TIMED_OUT (-2)
/* A malformed report or a state that does not belong where it came. */
#define HIDDFU_ERROR_PROTOCOL (-3)
/* hidDfuUpgrade: the file cannot be read, its suffix or CRC is wrong, or it
 * has no payload. */
#define HIDDFU_ERROR_FILE_INVALID (-4)
/* Not connected; from hidDfuGetResult: no upgrade has run since the
 * connect. */
#define HIDDFU_ERROR_NOT_CONNECTED (-5)
/* hidDfuUpgrade: the file names another vendor or product id. */
#define HIDDFU_ERROR_WRONG_DEVICE (-6)
/* An upgrade is running (refused, or the result asked for too early). */
#define HIDDFU_ERROR_UPGRADE_RUNNING (-7)
/* hidDfuUpgrade: the device's functional report could not be read, is
 * malformed, says it cannot download, or gives an unusable transfer size. */
#define HIDDFU_ERROR_CANNOT_DOWNLOAD (-8)
/* hidDfuDisconnect ended the upgrade before it finished. */
#define HIDDFU_ERROR_CANCELLED (-9)
/* The system refused a resource: no worker thread, no memory. */
#define HIDDFU_ERROR_SYSTEM (-10)
/* A null pointer or a flags value other than 1. */
#define HIDDFU_ERROR_INVALID_ARGUMENT (-11)

/* hidDfuConnect: every matching device is held by another program (another
 * run has it connected); none was connected. */
#define HIDDFU_ERROR_DEVICE_BUSY (-12)

/* Why hidDfuUpgrade refused, as hidDfuGetResult gives it afterwards (until
 * the next connect or upgrade). hidDfuUpgrade itself returns the broader
 * number in brackets; -4, -6 and -8 (functional report unreadable or
 * malformed) also stand for themselves there. */
/* (-4) The DFU file has no payload. */
#define HIDDFU_ERROR_EMPTY_PAYLOAD (-13)
/* (-8) The functional report has bitCanDnload clear. */
#define HIDDFU_ERROR_DOWNLOAD_NOT_SUPPORTED (-14)
/* (-8) The functional report gives a transfer size of 0. */
#define HIDDFU_ERROR_TRANSFER_SIZE_ZERO (-15)
/* (-8) The transfer size is more than the request report can carry. */
#define HIDDFU_ERROR_TRANSFER_SIZE_TOO_LARGE (-16)

#endif
