/*
 * The DFU 1.1 request layer of the device core: the state machine, the
 * GETSTATUS side effects, block numbering and the pending flash operations.
 * device/STATES.md tables what each request does in each state.
 *
 * The device idles in dfuIDLE (it serves its application and DFU at once),
 * so appIDLE, appDETACH and dfuUPLOAD-IDLE are never entered.
 */
#include "hiddfu_device.h"

#include "libc_subset.h"

/* dev->flags */
#define FLAG_PENDING 0x01    /* a write or manifestation has not completed */
#define FLAG_MANIFESTED 0x02 /* tolerant manifestation done: GETSTATUS -> dfuIDLE */

static uint8_t known_status(int status)
{
    if (status < HIDDFU_STATUS_OK || status > HIDDFU_STATUS_LAST)
        return HIDDFU_STATUS_ERR_UNKNOWN;
    return (uint8_t)status;
}

/* A new download starts from offset 0 and block 0. */
static void forget_download(hiddfu_dev *dev)
{
    dev->offset = 0;
    dev->block = 0;
    dev->flags &= (uint8_t)~FLAG_MANIFESTED;
}

static void enter_error(hiddfu_dev *dev, uint8_t status)
{
    dev->state = HIDDFU_STATE_DFU_ERROR;
    dev->status = status;
    forget_download(dev);
}

int hiddfu_dev_init(hiddfu_dev *dev, const hiddfu_dev_config *config, uint8_t *buffer,
                    void *user)
{
    if (dev == NULL || config == NULL || buffer == NULL || config->write == NULL ||
        config->manifest == NULL || config->transfer_size == 0 ||
        config->transfer_size > HIDDFU_DEV_MAX_TRANSFER_SIZE)
        return -1;
    memset(dev, 0, sizeof *dev);
    dev->config = config;
    dev->user = user;
    dev->buffer = buffer;
    dev->state = HIDDFU_STATE_DFU_IDLE;
    dev->status = HIDDFU_STATUS_OK;
    return 0;
}

void hiddfu_dev_stall(hiddfu_dev *dev)
{
    /* In dfuERROR already: the host learns the first cause. */
    if (dev->state != HIDDFU_STATE_DFU_ERROR)
        enter_error(dev, HIDDFU_STATUS_ERR_STALLEDPKT);
}

uint8_t hiddfu_dev_state(const hiddfu_dev *dev)
{
    return dev->state;
}

uint8_t hiddfu_dev_status(const hiddfu_dev *dev)
{
    return dev->status;
}

int hiddfu_dev_pending(const hiddfu_dev *dev)
{
    return (dev->flags & FLAG_PENDING) != 0;
}

uint32_t hiddfu_dev_downloaded(const hiddfu_dev *dev)
{
    return dev->offset;
}

/* A write finished: the block is taken (dfuDNLOAD-SYNC, which the next
 * GETSTATUS turns into dfuDNLOAD-IDLE) or the download failed. */
static void write_done(hiddfu_dev *dev, uint8_t status)
{
    if (status != HIDDFU_STATUS_OK)
        enter_error(dev, status);
    else
        dev->state = HIDDFU_STATE_DNLOAD_SYNC;
}

/* Manifestation finished. A tolerant device reports dfuIDLE at the next
 * GETSTATUS; another waits for its reset. */
static void manifest_done(hiddfu_dev *dev, uint8_t status)
{
    if (status != HIDDFU_STATUS_OK) {
        enter_error(dev, status);
        return;
    }
    forget_download(dev); /* the image is the firmware's now */
    if (dev->config->attributes & HIDDFU_ATTR_MANIFESTATION_TOLERANT) {
        dev->state = HIDDFU_STATE_MANIFEST_SYNC;
        dev->flags |= FLAG_MANIFESTED;
    } else {
        dev->state = HIDDFU_STATE_MANIFEST_WAIT_RESET;
    }
}

void hiddfu_dev_complete(hiddfu_dev *dev, int status)
{
    if (!(dev->flags & FLAG_PENDING))
        return;
    dev->flags &= (uint8_t)~FLAG_PENDING;
    /* An operation the host abandoned (a stall in between) only frees the
     * core for the next one. */
    switch (dev->state) {
    case HIDDFU_STATE_DNLOAD_SYNC:
    case HIDDFU_STATE_DNBUSY:
        write_done(dev, known_status(status));
        break;
    case HIDDFU_STATE_MANIFEST:
        manifest_done(dev, known_status(status));
        break;
    default:
        break;
    }
}

/* DNLOAD with data: the next block of the image, in dfuIDLE (the first) or
 * dfuDNLOAD-IDLE. A wrong block number is accepted and reported as
 * errADDRESS, as a block that cannot be placed. */
static hiddfu_dev_result download_block(hiddfu_dev *dev, uint16_t number, const uint8_t *data,
                                        uint16_t length)
{
    int result;
    if (dev->state == HIDDFU_STATE_DFU_IDLE)
        forget_download(dev);
    if (number != dev->block || dev->offset > UINT32_MAX - length) {
        enter_error(dev, HIDDFU_STATUS_ERR_ADDRESS);
        return HIDDFU_DEV_ACCEPT;
    }
    if (data != dev->buffer)
        memcpy(dev->buffer, data, length);
    result = dev->config->write(dev->user, dev->offset, dev->buffer, length);
    dev->offset += length;
    dev->block++; /* wraps at 65536 like wValue */
    if (result == HIDDFU_DEV_PENDING) {
        dev->state = HIDDFU_STATE_DNLOAD_SYNC;
        dev->flags |= FLAG_PENDING;
    } else {
        write_done(dev, known_status(result));
    }
    return HIDDFU_DEV_ACCEPT;
}

static hiddfu_dev_result download(hiddfu_dev *dev, uint16_t value, const uint8_t *data,
                                  uint16_t length)
{
    if (!(dev->config->attributes & HIDDFU_ATTR_CAN_DNLOAD) || length > dev->config->transfer_size)
        return HIDDFU_DEV_STALL;
    if (length == 0) {
        /* The end of the image: its wValue is not checked. */
        if (dev->state != HIDDFU_STATE_DNLOAD_IDLE)
            return HIDDFU_DEV_STALL;
        dev->state = HIDDFU_STATE_MANIFEST_SYNC;
        dev->flags &= (uint8_t)~FLAG_MANIFESTED;
        return HIDDFU_DEV_ACCEPT;
    }
    /* An operation dropped by an earlier stall must finish first. */
    if ((dev->state != HIDDFU_STATE_DFU_IDLE && dev->state != HIDDFU_STATE_DNLOAD_IDLE) ||
        (dev->flags & FLAG_PENDING) || data == NULL)
        return HIDDFU_DEV_STALL;
    return download_block(dev, value, data, length);
}

static uint32_t poll_timeout(const hiddfu_dev *dev, uint32_t configured)
{
    uint32_t ms = dev->config->poll_timeout != NULL ? dev->config->poll_timeout(dev->user)
                                                    : configured;
    return ms > 0xFFFFFFu ? 0xFFFFFFu : ms;
}

/* GETSTATUS in dfuMANIFEST-SYNC before manifestation: start it. The answer
 * says dfuMANIFEST even when it finished at once; the state then moves on. */
static uint32_t start_manifestation(hiddfu_dev *dev)
{
    const int result = dev->config->manifest(dev->user, dev->offset);
    dev->state = HIDDFU_STATE_MANIFEST;
    if (result == HIDDFU_DEV_PENDING) {
        dev->flags |= FLAG_PENDING;
        return poll_timeout(dev, dev->config->manifest_poll_ms);
    }
    manifest_done(dev, known_status(result));
    return 0;
}

/* GETSTATUS: the state it reports is the state it moves the device to, and
 * the poll timeout is the time until the device should have moved on. */
static void get_status(hiddfu_dev *dev, uint8_t *reply)
{
    uint32_t poll = 0;
    uint8_t reported = dev->state;
    switch (dev->state) {
    case HIDDFU_STATE_DNLOAD_SYNC:
        if (dev->flags & FLAG_PENDING) {
            dev->state = HIDDFU_STATE_DNBUSY;
            poll = poll_timeout(dev, dev->config->write_poll_ms);
        } else {
            dev->state = HIDDFU_STATE_DNLOAD_IDLE;
        }
        reported = dev->state;
        break;
    case HIDDFU_STATE_DNBUSY:
        poll = poll_timeout(dev, dev->config->write_poll_ms);
        break;
    case HIDDFU_STATE_MANIFEST_SYNC:
        if (dev->flags & FLAG_MANIFESTED) {
            dev->state = HIDDFU_STATE_DFU_IDLE;
            forget_download(dev);
            reported = dev->state;
        } else {
            poll = start_manifestation(dev);
            reported = dev->state == HIDDFU_STATE_DFU_ERROR ? dev->state : HIDDFU_STATE_MANIFEST;
        }
        break;
    case HIDDFU_STATE_MANIFEST:
        poll = poll_timeout(dev, dev->config->manifest_poll_ms);
        break;
    default:
        break;
    }
    reply[0] = dev->status;
    reply[1] = (uint8_t)(poll & 0xFF);
    reply[2] = (uint8_t)((poll >> 8) & 0xFF);
    reply[3] = (uint8_t)(poll >> 16);
    reply[4] = reported;
    reply[5] = 0; /* iString */
}

/* DETACH restarts the device: whatever was in progress is dropped. */
static void detach(hiddfu_dev *dev, uint16_t timeout_ms)
{
    if (timeout_ms > dev->config->detach_timeout_ms)
        timeout_ms = dev->config->detach_timeout_ms;
    dev->state = HIDDFU_STATE_DFU_IDLE;
    dev->status = HIDDFU_STATUS_OK;
    dev->flags = 0;
    forget_download(dev);
    if (dev->config->detach != NULL)
        dev->config->detach(dev->user, timeout_ms);
}

static hiddfu_dev_result host_to_device(hiddfu_dev *dev, const hiddfu_dev_setup *setup,
                                        const uint8_t *data)
{
    if (setup->request == HIDDFU_DFU_DNLOAD)
        return download(dev, setup->value, data, setup->length);
    if (setup->length != 0)
        return HIDDFU_DEV_STALL;
    switch (setup->request) {
    case HIDDFU_DFU_DETACH:
        detach(dev, setup->value);
        return HIDDFU_DEV_ACCEPT;
    case HIDDFU_DFU_CLRSTATUS:
        if (dev->state != HIDDFU_STATE_DFU_ERROR)
            return HIDDFU_DEV_STALL;
        dev->state = HIDDFU_STATE_DFU_IDLE;
        dev->status = HIDDFU_STATUS_OK;
        forget_download(dev);
        return HIDDFU_DEV_ACCEPT;
    case HIDDFU_DFU_ABORT:
        if (dev->state != HIDDFU_STATE_DFU_IDLE && dev->state != HIDDFU_STATE_DNLOAD_IDLE)
            return HIDDFU_DEV_STALL;
        dev->state = HIDDFU_STATE_DFU_IDLE;
        forget_download(dev);
        return HIDDFU_DEV_ACCEPT;
    default: /* UPLOAD, GETSTATUS and GETSTATE are device-to-host; others unknown */
        return HIDDFU_DEV_STALL;
    }
}

static hiddfu_dev_result device_to_host(hiddfu_dev *dev, const hiddfu_dev_setup *setup,
                                        uint8_t *reply, uint16_t *reply_length)
{
    switch (setup->request) {
    case HIDDFU_DFU_GETSTATUS:
        if (setup->length < HIDDFU_GETSTATUS_LENGTH)
            return HIDDFU_DEV_STALL;
        get_status(dev, reply);
        *reply_length = HIDDFU_GETSTATUS_LENGTH;
        return HIDDFU_DEV_ACCEPT;
    case HIDDFU_DFU_GETSTATE:
        if (setup->length < 1)
            return HIDDFU_DEV_STALL;
        reply[0] = dev->state;
        *reply_length = 1;
        return HIDDFU_DEV_ACCEPT;
    default: /* UPLOAD is not supported */
        return HIDDFU_DEV_STALL;
    }
}

hiddfu_dev_result hiddfu_dev_request(hiddfu_dev *dev, const hiddfu_dev_setup *setup,
                                     const uint8_t *data, uint8_t *reply,
                                     uint16_t *reply_length)
{
    hiddfu_dev_result result;
    *reply_length = 0;
    if (setup->to_host)
        result = reply != NULL ? device_to_host(dev, setup, reply, reply_length) : HIDDFU_DEV_STALL;
    else
        result = host_to_device(dev, setup, data);
    if (result == HIDDFU_DEV_STALL)
        hiddfu_dev_stall(dev);
    return result;
}
