/*
 * The wire numbers of the DFU-over-HID upgrade protocol (docs/protocol.md):
 * the feature report ids and lengths, the DFU 1.1 request numbers, states,
 * status codes and functional attributes. Shared by the device core and the
 * host's upgrade library so that each number is written once.
 *
 * Plain C preprocessor constants: usable from C99, C++ and freestanding code.
 */
#ifndef HIDDFU_PROTOCOL_H
#define HIDDFU_PROTOCOL_H

/* Feature report ids. */
#define HIDDFU_REPORT_REQUEST 0xD0    /* host sets: one DFU request */
#define HIDDFU_REPORT_STATUS 0xD1     /* host gets: GETSTATUS */
#define HIDDFU_REPORT_FUNCTIONAL 0xD2 /* host gets: the DFU functional descriptor */
#define HIDDFU_REPORT_STATE 0xD3      /* host gets: GETSTATE (optional for the host) */

/* Report lengths in bytes, the report id byte included. The request report
 * is its header (id, bRequest, wValue, wLength) plus the transfer size. */
#define HIDDFU_REQUEST_HEADER_LENGTH 6
#define HIDDFU_STATUS_REPORT_LENGTH 7
#define HIDDFU_FUNCTIONAL_REPORT_LENGTH 8
#define HIDDFU_STATE_REPORT_LENGTH 2

/* The GETSTATUS answer without the report id: bStatus, bwPollTimeout (24
 * bits), bState, iString. */
#define HIDDFU_GETSTATUS_LENGTH 6

/* DFU 1.1 class requests (bRequest). */
#define HIDDFU_DFU_DETACH 0
#define HIDDFU_DFU_DNLOAD 1
#define HIDDFU_DFU_UPLOAD 2
#define HIDDFU_DFU_GETSTATUS 3
#define HIDDFU_DFU_CLRSTATUS 4
#define HIDDFU_DFU_GETSTATE 5
#define HIDDFU_DFU_ABORT 6

/* DFU 1.1 states (bState). */
#define HIDDFU_STATE_APP_IDLE 0
#define HIDDFU_STATE_APP_DETACH 1
#define HIDDFU_STATE_DFU_IDLE 2
#define HIDDFU_STATE_DNLOAD_SYNC 3
#define HIDDFU_STATE_DNBUSY 4
#define HIDDFU_STATE_DNLOAD_IDLE 5
#define HIDDFU_STATE_MANIFEST_SYNC 6
#define HIDDFU_STATE_MANIFEST 7
#define HIDDFU_STATE_MANIFEST_WAIT_RESET 8
#define HIDDFU_STATE_UPLOAD_IDLE 9
#define HIDDFU_STATE_DFU_ERROR 10
#define HIDDFU_STATE_LAST 10

/* DFU 1.1 status codes (bStatus). */
#define HIDDFU_STATUS_OK 0
#define HIDDFU_STATUS_ERR_TARGET 1
#define HIDDFU_STATUS_ERR_FILE 2
#define HIDDFU_STATUS_ERR_WRITE 3
#define HIDDFU_STATUS_ERR_ERASE 4
#define HIDDFU_STATUS_ERR_CHECK_ERASED 5
#define HIDDFU_STATUS_ERR_PROG 6
#define HIDDFU_STATUS_ERR_VERIFY 7
#define HIDDFU_STATUS_ERR_ADDRESS 8
#define HIDDFU_STATUS_ERR_NOTDONE 9
#define HIDDFU_STATUS_ERR_FIRMWARE 10
#define HIDDFU_STATUS_ERR_VENDOR 11
#define HIDDFU_STATUS_ERR_USBR 12
#define HIDDFU_STATUS_ERR_POR 13
#define HIDDFU_STATUS_ERR_UNKNOWN 14
#define HIDDFU_STATUS_ERR_STALLEDPKT 15
#define HIDDFU_STATUS_LAST 15

/* bmAttributes of the functional report. */
#define HIDDFU_ATTR_CAN_DNLOAD 0x01
#define HIDDFU_ATTR_CAN_UPLOAD 0x02
#define HIDDFU_ATTR_MANIFESTATION_TOLERANT 0x04
#define HIDDFU_ATTR_WILL_DETACH 0x08

/* bcdDFU of the functional report: DFU 1.1. */
#define HIDDFU_BCD_DFU 0x0110

#endif
