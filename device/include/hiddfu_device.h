/*
 * hiddfu device core: the device side of the DFU-over-HID upgrade protocol
 * (docs/protocol.md), for firmware.
 *
 * What it is
 *   A DFU 1.1 state machine in portable, freestanding C99. It allocates
 *   nothing, keeps no globals, needs no clock and uses nothing from the C
 *   library but memcpy and memset. All its state lives in a `hiddfu_dev`
 *   that the firmware owns, plus one transfer buffer of `transfer_size`
 *   bytes, also the firmware's.
 *
 * Two layers
 *   - The request layer, hiddfu_dev_request(): one DFU class request
 *     (bRequest, wValue, wLength, data) in, accept or stall and the answer
 *     bytes out. It does not care how the request arrived, so it can also
 *     serve a standard USB DFU interface on the control endpoint.
 *   - The HID layer, hiddfu_hid_set_report() / hiddfu_hid_get_report(): the
 *     protocol's feature reports 0xD0-0xD3 mapped onto the request layer.
 *     Call them from the USB stack's SET_REPORT / GET_REPORT handlers for
 *     feature reports. hiddfu_hid_report_descriptor() writes the report
 *     descriptor items that declare those reports.
 *
 * Flash
 *   The core hands every accepted block to the `write` callback and, at the
 *   end of the download, calls `manifest`. Either may finish at once (return
 *   a DFU status, HIDDFU_STATUS_OK for success) or later (return
 *   HIDDFU_DEV_PENDING, then call hiddfu_dev_complete() with the status when
 *   done). Meanwhile the host is told dfuDNBUSY / dfuMANIFEST with a poll
 *   timeout. The image is only complete when `manifest` is called: keep the
 *   old firmware bootable until the new image has been verified there.
 *
 * Threads and interrupts
 *   No call blocks, and none is reentrant: the firmware serialises every
 *   call on one context (for instance all from the USB interrupt, or with
 *   that interrupt masked around hiddfu_dev_complete()). Callbacks are
 *   called from inside hiddfu_dev_request() and the HID functions and must
 *   not call back into the core; hiddfu_dev_complete() is for later.
 *
 * What the core answers to every request in every state, and to malformed
 * traffic, is tabled in device/STATES.md.
 *
 * Minimal use:
 *
 *   static uint8_t buffer[256];
 *   static const hiddfu_dev_config config = {
 *       my_write, my_manifest, my_detach, NULL,
 *       256, 1000, HIDDFU_ATTR_CAN_DNLOAD | HIDDFU_ATTR_MANIFESTATION_TOLERANT,
 *       5, 50};
 *   static hiddfu_dev dfu;
 *   hiddfu_dev_init(&dfu, &config, buffer, NULL);
 *   ... in SET_REPORT(feature):  ok = hiddfu_hid_set_report(&dfu, data, len) == HIDDFU_DEV_ACCEPT;
 *   ... in GET_REPORT(feature):  hiddfu_hid_get_report(&dfu, id, out, cap, &len);
 */
#ifndef HIDDFU_DEVICE_H
#define HIDDFU_DEVICE_H

#include <stddef.h>
#include <stdint.h>

#include "hiddfu_protocol.h"

#ifdef __cplusplus
extern "C" {
#endif

/* What a request or report gets: accepted, or refused (the transport then
 * stalls the control transfer, failing the host's SET_REPORT/GET_REPORT). */
typedef enum hiddfu_dev_result {
    HIDDFU_DEV_ACCEPT = 0,
    HIDDFU_DEV_STALL = 1
} hiddfu_dev_result;

/* Returned by `write` or `manifest` when the operation finishes later. */
#define HIDDFU_DEV_PENDING 0x100

/* The largest transfer size: the request report (6 + transfer size bytes)
 * must fit HID's 16-bit report count. */
#define HIDDFU_DEV_MAX_TRANSFER_SIZE (0xFFFF - HIDDFU_REQUEST_HEADER_LENGTH)

/* The firmware's side. `user` is the pointer given to hiddfu_dev_init(). */
typedef struct hiddfu_dev_config {
    /* Store `length` bytes (1 .. transfer_size) of the image at `offset`.
     * Blocks come in order, without gaps: a write at offset 0 starts a new
     * image (an earlier, unfinished one is abandoned). `data` is the
     * transfer buffer and stays unchanged until the write has completed.
     * Returns a DFU status or HIDDFU_DEV_PENDING. Required. */
    int (*write)(void *user, uint32_t offset, const uint8_t *data, uint16_t length);

    /* The whole image, `image_length` bytes, has been written: verify it and
     * make it the firmware to run. Returns a DFU status or
     * HIDDFU_DEV_PENDING. Required. */
    int (*manifest)(void *user, uint32_t image_length);

    /* The host asked the device to restart (DETACH): do so within
     * `timeout_ms` (wValue, at most detach_timeout_ms) once the current
     * control transfer has completed. May be NULL. */
    void (*detach)(void *user, uint16_t timeout_ms);

    /* The bwPollTimeout to announce while a write or manifestation is
     * pending: milliseconds until it should be done. NULL: write_poll_ms or
     * manifest_poll_ms. */
    uint32_t (*poll_timeout)(void *user);

    uint16_t transfer_size;     /* wTransferSize: data bytes per block, 1 .. HIDDFU_DEV_MAX_TRANSFER_SIZE */
    uint16_t detach_timeout_ms; /* wDetachTimeOut */
    uint8_t attributes;         /* HIDDFU_ATTR_* (bitCanUpload is never announced) */
    uint32_t write_poll_ms;     /* bwPollTimeout while a write is pending */
    uint32_t manifest_poll_ms;  /* bwPollTimeout while manifestation is pending */
} hiddfu_dev_config;

/* One DFU interface. Owned by the firmware; its members are the core's. */
typedef struct hiddfu_dev {
    const hiddfu_dev_config *config;
    void *user;
    uint8_t *buffer;  /* transfer_size bytes */
    uint32_t offset;  /* image bytes accepted in the current download */
    uint16_t block;   /* block number the next DNLOAD must carry */
    uint8_t state;    /* HIDDFU_STATE_* */
    uint8_t status;   /* HIDDFU_STATUS_* */
    uint8_t flags;
} hiddfu_dev;

/* One DFU class request as a USB setup packet carries it. */
typedef struct hiddfu_dev_setup {
    uint8_t to_host;  /* 1: device-to-host (bit 7 of bmRequestType) */
    uint8_t request;  /* bRequest */
    uint16_t value;   /* wValue */
    uint16_t length;  /* wLength */
} hiddfu_dev_setup;

/* Prepares `dev` in dfuIDLE. `config` and `buffer` (config->transfer_size
 * bytes) must outlive it. Returns 0, or -1 when the configuration is
 * unusable (no write or manifest callback, no buffer, transfer size out of
 * range); `dev` is then left untouched. */
int hiddfu_dev_init(hiddfu_dev *dev, const hiddfu_dev_config *config, uint8_t *buffer,
                    void *user);

/* Handles one DFU class request.
 *   Host-to-device (DETACH, DNLOAD, CLRSTATUS, ABORT): `data` holds the
 *   setup's wLength bytes (may be NULL when wLength is 0); *reply_length is
 *   set to 0.
 *   Device-to-host (GETSTATUS, GETSTATE): the answer goes to `reply`, which
 *   has room for wLength bytes, and its length to *reply_length.
 * A refused request (HIDDFU_DEV_STALL) leaves dfuERROR with errSTALLEDPKT,
 * unless the device was in dfuERROR already (its first status stays). */
hiddfu_dev_result hiddfu_dev_request(hiddfu_dev *dev, const hiddfu_dev_setup *setup,
                                     const uint8_t *data, uint8_t *reply,
                                     uint16_t *reply_length);

/* The pending write or manifestation has finished with DFU status `status`
 * (HIDDFU_STATUS_OK on success). Ignored when nothing is pending. A status
 * beyond the defined codes counts as errUNKNOWN. */
void hiddfu_dev_complete(hiddfu_dev *dev, int status);

/* The transport refused a DFU transfer on its own (for instance one it
 * could not receive): the same dfuERROR/errSTALLEDPKT as a refused request. */
void hiddfu_dev_stall(hiddfu_dev *dev);

/* The state and status as GETSTATE / GETSTATUS would report them now,
 * without GETSTATUS's side effects. */
uint8_t hiddfu_dev_state(const hiddfu_dev *dev);
uint8_t hiddfu_dev_status(const hiddfu_dev *dev);

/* Whether a write or manifestation has not yet completed. */
int hiddfu_dev_pending(const hiddfu_dev *dev);

/* Image bytes handed to `write` in the current download; 0 once the
 * download has been abandoned (ABORT, an error, CLRSTATUS, DETACH) or
 * manifested. */
uint32_t hiddfu_dev_downloaded(const hiddfu_dev *dev);

/* ---- HID feature reports 0xD0-0xD3 ---------------------------------------- */

/* Length of the request report 0xD0 for `transfer_size`, id included. */
#define HIDDFU_HID_REQUEST_REPORT_LENGTH(transfer_size) \
    ((uint32_t)HIDDFU_REQUEST_HEADER_LENGTH + (uint32_t)(transfer_size))

/* The longest answer hiddfu_hid_get_report() gives, id included. */
#define HIDDFU_HID_MAX_GET_LENGTH HIDDFU_FUNCTIONAL_REPORT_LENGTH

/* Bytes hiddfu_hid_report_descriptor() writes. */
#define HIDDFU_HID_DESCRIPTOR_LENGTH 43

/* A SET_REPORT of a feature report; `report` starts with the report id and
 * is `length` bytes long. Report 0xD0 is a DFU request (its bytes after the
 * header beyond wLength are ignored). Any other report id is not the core's:
 * it is refused without touching the DFU state. */
hiddfu_dev_result hiddfu_hid_set_report(hiddfu_dev *dev, const uint8_t *report, size_t length);

/* A GET_REPORT of feature report `report_id`: 0xD1 (GETSTATUS, with its
 * side effects), 0xD2 (functional) or 0xD3 (GETSTATE). The report, id
 * first, goes to `report`, cut to `capacity` bytes as a shorter control
 * transfer would cut it; *length gets the bytes written. Other ids, 0xD0
 * included, are refused without touching the DFU state. */
hiddfu_dev_result hiddfu_hid_get_report(hiddfu_dev *dev, uint8_t report_id, uint8_t *report,
                                        size_t capacity, size_t *length);

/* Writes the report descriptor items that declare the four feature reports
 * for `transfer_size` (HIDDFU_HID_DESCRIPTOR_LENGTH bytes) into `out`, for
 * the firmware to place inside a vendor-defined application collection of
 * its HID report descriptor. The items set the global Usage Page (0xFF00),
 * Logical Minimum 0, Logical Maximum 255 and Report Size 8, which stay in
 * force for the items after them. Returns the bytes written, or 0 when
 * `capacity` is too small or the transfer size is out of range. */
size_t hiddfu_hid_report_descriptor(uint16_t transfer_size, uint8_t *out, size_t capacity);

#ifdef __cplusplus
}
#endif

#endif
