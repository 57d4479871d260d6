/*
 * The HID layer of the device core: DFU requests carried in the feature
 * reports 0xD0 (request, set), 0xD1 (status, get), 0xD2 (functional, get)
 * and 0xD3 (state, get), and the report descriptor items declaring them.
 */
#include "hiddfu_device.h"

#include "libc_subset.h"

static uint16_t little16(const uint8_t *bytes)
{
    return (uint16_t)(bytes[0] | (bytes[1] << 8));
}

static void put_little16(uint8_t *out, uint16_t value)
{
    out[0] = (uint8_t)(value & 0xFF);
    out[1] = (uint8_t)(value >> 8);
}

/* Report 0xD0: id, bRequest, wValue, wLength, then wLength data bytes and
 * any padding. It only carries host-to-device requests. A report too short
 * for its header or for its data is a refused request. */
hiddfu_dev_result hiddfu_hid_set_report(hiddfu_dev *dev, const uint8_t *report, size_t length)
{
    hiddfu_dev_setup setup;
    uint16_t reply_length;
    if (report == NULL || length == 0 || report[0] != HIDDFU_REPORT_REQUEST)
        return HIDDFU_DEV_STALL;
    if (length < HIDDFU_REQUEST_HEADER_LENGTH ||
        length - HIDDFU_REQUEST_HEADER_LENGTH < little16(report + 4)) {
        hiddfu_dev_stall(dev);
        return HIDDFU_DEV_STALL;
    }
    setup.to_host = 0;
    setup.request = report[1];
    setup.value = little16(report + 2);
    setup.length = little16(report + 4);
    return hiddfu_dev_request(dev, &setup, report + HIDDFU_REQUEST_HEADER_LENGTH, NULL,
                              &reply_length);
}

static size_t functional_report(const hiddfu_dev *dev, uint8_t *out)
{
    const hiddfu_dev_config *config = dev->config;
    out[0] = HIDDFU_REPORT_FUNCTIONAL;
    out[1] = (uint8_t)(config->attributes & ~HIDDFU_ATTR_CAN_UPLOAD);
    put_little16(out + 2, config->detach_timeout_ms);
    put_little16(out + 4, config->transfer_size);
    put_little16(out + 6, HIDDFU_BCD_DFU);
    return HIDDFU_FUNCTIONAL_REPORT_LENGTH;
}

/* GETSTATUS or GETSTATE through the request layer, the report id before the
 * answer. */
static size_t request_report(hiddfu_dev *dev, uint8_t report_id, uint8_t request, uint8_t *out)
{
    hiddfu_dev_setup setup;
    uint16_t reply_length = 0;
    setup.to_host = 1;
    setup.request = request;
    setup.value = 0;
    setup.length = HIDDFU_GETSTATUS_LENGTH;
    out[0] = report_id;
    if (hiddfu_dev_request(dev, &setup, NULL, out + 1, &reply_length) != HIDDFU_DEV_ACCEPT)
        return 0;
    return (size_t)reply_length + 1;
}

hiddfu_dev_result hiddfu_hid_get_report(hiddfu_dev *dev, uint8_t report_id, uint8_t *report,
                                        size_t capacity, size_t *length)
{
    uint8_t answer[HIDDFU_HID_MAX_GET_LENGTH];
    size_t answer_length = 0;
    *length = 0;
    switch (report_id) {
    case HIDDFU_REPORT_STATUS:
        answer_length = request_report(dev, report_id, HIDDFU_DFU_GETSTATUS, answer);
        break;
    case HIDDFU_REPORT_STATE:
        answer_length = request_report(dev, report_id, HIDDFU_DFU_GETSTATE, answer);
        break;
    case HIDDFU_REPORT_FUNCTIONAL:
        answer_length = functional_report(dev, answer);
        break;
    default: /* the request report is set only; other ids are not the core's */
        break;
    }
    if (answer_length == 0)
        return HIDDFU_DEV_STALL;
    if (answer_length > capacity)
        answer_length = capacity;
    if (answer_length > 0)
        memcpy(report, answer, answer_length);
    *length = answer_length;
    return HIDDFU_DEV_ACCEPT;
}

/* Short items: tag | type | size. */
#define ITEM_USAGE_PAGE_16 0x06
#define ITEM_USAGE_8 0x09
#define ITEM_LOGICAL_MINIMUM_8 0x15
#define ITEM_LOGICAL_MAXIMUM_16 0x26
#define ITEM_REPORT_SIZE_8 0x75
#define ITEM_REPORT_ID_8 0x85
#define ITEM_REPORT_COUNT_8 0x95
#define ITEM_REPORT_COUNT_16 0x96
#define ITEM_FEATURE_8 0xB1
#define FEATURE_DATA_VARIABLE_ABSOLUTE 0x02

/* One feature report of `data_bytes` byte fields, its id also its vendor
 * usage so that a host can find it by usage too. */
static uint8_t *feature_report(uint8_t *out, uint8_t report_id, uint16_t data_bytes)
{
    *out++ = ITEM_REPORT_ID_8;
    *out++ = report_id;
    *out++ = ITEM_USAGE_8;
    *out++ = report_id;
    if (report_id == HIDDFU_REPORT_REQUEST) { /* the one report whose size varies */
        *out++ = ITEM_REPORT_COUNT_16;
        put_little16(out, data_bytes);
        out += 2;
    } else {
        *out++ = ITEM_REPORT_COUNT_8;
        *out++ = (uint8_t)data_bytes;
    }
    *out++ = ITEM_FEATURE_8;
    *out++ = FEATURE_DATA_VARIABLE_ABSOLUTE;
    return out;
}

size_t hiddfu_hid_report_descriptor(uint16_t transfer_size, uint8_t *out, size_t capacity)
{
    uint8_t *end;
    if (out == NULL || capacity < HIDDFU_HID_DESCRIPTOR_LENGTH || transfer_size == 0 ||
        transfer_size > HIDDFU_DEV_MAX_TRANSFER_SIZE)
        return 0;
    end = out;
    *end++ = ITEM_USAGE_PAGE_16;
    *end++ = 0x00;
    *end++ = 0xFF;
    *end++ = ITEM_LOGICAL_MINIMUM_8;
    *end++ = 0x00;
    *end++ = ITEM_LOGICAL_MAXIMUM_16;
    *end++ = 0xFF;
    *end++ = 0x00;
    *end++ = ITEM_REPORT_SIZE_8;
    *end++ = 8;
    end = feature_report(end, HIDDFU_REPORT_REQUEST,
                         (uint16_t)(HIDDFU_REQUEST_HEADER_LENGTH - 1 + transfer_size));
    end = feature_report(end, HIDDFU_REPORT_STATUS, HIDDFU_STATUS_REPORT_LENGTH - 1);
    end = feature_report(end, HIDDFU_REPORT_FUNCTIONAL, HIDDFU_FUNCTIONAL_REPORT_LENGTH - 1);
    end = feature_report(end, HIDDFU_REPORT_STATE, HIDDFU_STATE_REPORT_LENGTH - 1);
    return (size_t)(end - out);
}
