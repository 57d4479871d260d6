/* Replays an update recorded from the upgrade library (session_transcript.h,
 * made by record_session) against the device core on the emulated Cortex-M3
 * board, through the core's HID feature report layer, and checks that the
 * core gives the recorded answer to every report, that the flash ends up
 * holding the payload, and that manifestation and DETACH reached the
 * firmware. Output and the verdict go out through semihosting.
 *
 * The flash is a RAM array. Writes and manifestation finish later, as on a
 * real part: the core answers busy with a poll timeout, and the operation
 * completes once the core has announced that timeout to the host and the
 * host has come back for the next status (the recorded host honoured every
 * poll timeout, so by then the time has passed). */
#include "hiddfu_device.h"
#include "semihosting.h"
#include "session_transcript.h"

#include <stddef.h>
#include <stdint.h>

#define FLASH_BYTES 4096u
#define REPLY_ROOM 256u

typedef struct flash_port {
    uint8_t bytes[FLASH_BYTES];
    uint32_t written;          /* bytes stored so far, in order */
    uint32_t image_length;     /* what the core asked to manifest */
    unsigned manifestations;
    unsigned detaches;
    unsigned misplaced_writes; /* out of order or beyond the array */
} flash_port;

static flash_port flash;
static uint8_t transfer_buffer[SESSION_TRANSFER_SIZE];
static hiddfu_dev dfu;

static int flash_write(void* user, uint32_t offset, const uint8_t* data, uint16_t length)
{
    flash_port* port = user;
    if (offset == 0)
        port->written = 0;
    if (offset != port->written || length > FLASH_BYTES - offset) {
        ++port->misplaced_writes;
        return HIDDFU_STATUS_ERR_ADDRESS;
    }
    for (uint16_t i = 0; i < length; ++i)
        port->bytes[offset + i] = data[i];
    port->written = offset + length;
    return HIDDFU_DEV_PENDING;
}

static int flash_manifest(void* user, uint32_t image_length)
{
    flash_port* port = user;
    port->image_length = image_length;
    ++port->manifestations;
    return HIDDFU_DEV_PENDING;
}

static void flash_detach(void* user, uint16_t timeout_ms)
{
    flash_port* port = user;
    (void)timeout_ms;
    ++port->detaches;
}

static const hiddfu_dev_config dfu_config = {
    flash_write,
    flash_manifest,
    flash_detach,
    NULL,
    SESSION_TRANSFER_SIZE,
    SESSION_DETACH_TIMEOUT_MS,
    SESSION_ATTRIBUTES,
    SESSION_WRITE_POLL_MS,
    SESSION_MANIFEST_POLL_MS,
};

static void write_hex(const uint8_t* bytes, size_t length)
{
    static const char digits[] = "0123456789abcdef";
    char text[4] = {0, 0, ' ', 0};
    for (size_t i = 0; i < length; ++i) {
        text[0] = digits[bytes[i] >> 4];
        text[1] = digits[bytes[i] & 15];
        semihosting_write(text);
    }
    semihosting_write("\n");
}

static int step_failed(unsigned index, const char* what)
{
    semihosting_write("FAIL at feature report ");
    semihosting_write_unsigned(index);
    semihosting_write(": ");
    semihosting_write(what);
    semihosting_write("\n");
    return 0;
}

static int session_failed(const char* what)
{
    semihosting_write("FAIL after the session: ");
    semihosting_write(what);
    semihosting_write("\n");
    return 0;
}

static int same_bytes(const uint8_t* a, const uint8_t* b, size_t length)
{
    for (size_t i = 0; i < length; ++i)
        if (a[i] != b[i])
            return 0;
    return 1;
}

/* Whether the status report just given told the host to wait for a pending
 * operation. */
static int announced_busy(const uint8_t* status_report, size_t length)
{
    return length >= HIDDFU_STATUS_REPORT_LENGTH &&
           (status_report[5] == HIDDFU_STATE_DNBUSY || status_report[5] == HIDDFU_STATE_MANIFEST);
}

static int replay_step(unsigned index, int* busy_announced)
{
    const struct session_step* step = &session_steps[index];
    const uint8_t* recorded = &session_bytes[step->offset];
    if (step->kind == SESSION_SET) {
        const int accepted = hiddfu_hid_set_report(&dfu, recorded, step->length) == HIDDFU_DEV_ACCEPT;
        if (accepted != step->accepted)
            return step_failed(index, accepted ? "SET accepted, the recording refused it"
                                               : "SET refused, the recording accepted it");
        return 1;
    }

    if (step->report_id == HIDDFU_REPORT_STATUS && *busy_announced && hiddfu_dev_pending(&dfu))
        hiddfu_dev_complete(&dfu, HIDDFU_STATUS_OK);
    uint8_t reply[REPLY_ROOM];
    if (step->length > sizeof reply)
        return step_failed(index, "GET longer than the replay's buffer");
    size_t reply_length = 0;
    const int accepted =
        hiddfu_hid_get_report(&dfu, step->report_id, reply, step->length, &reply_length) == HIDDFU_DEV_ACCEPT;
    if (accepted != step->accepted)
        return step_failed(index, accepted ? "GET answered, the recording refused it"
                                           : "GET refused, the recording answered it");
    if (reply_length != step->reply_length || !same_bytes(reply, recorded, reply_length)) {
        step_failed(index, "GET answer differs");
        semihosting_write("  recorded: ");
        write_hex(recorded, step->reply_length);
        semihosting_write("  core:     ");
        write_hex(reply, reply_length);
        return 0;
    }
    if (step->report_id == HIDDFU_REPORT_STATUS)
        *busy_announced = announced_busy(reply, reply_length);
    return 1;
}

static int check_flash(void)
{
    if (flash.misplaced_writes != 0)
        return session_failed("a write was out of order or out of bounds");
    if (flash.written != sizeof session_payload || flash.image_length != sizeof session_payload)
        return session_failed("the stored image is not as long as the payload");
    if (!same_bytes(flash.bytes, session_payload, sizeof session_payload))
        return session_failed("the flash does not hold the payload");
    if (flash.manifestations != SESSION_MANIFESTATIONS || flash.detaches != SESSION_DETACHES)
        return session_failed("manifestation or DETACH did not reach the firmware");
    return 1;
}

int main(void)
{
    semihosting_write("replaying a recorded update on the device core\n");
    if (hiddfu_dev_init(&dfu, &dfu_config, transfer_buffer, &flash) != 0) {
        semihosting_write("FAIL: the core refused its configuration\n");
        return 1;
    }
    int busy_announced = 0;
    for (unsigned i = 0; i < SESSION_STEP_COUNT; ++i)
        if (!replay_step(i, &busy_announced))
            return 1;
    if (!check_flash())
        return 1;
    semihosting_write("PASS: ");
    semihosting_write_unsigned(SESSION_STEP_COUNT);
    semihosting_write(" feature reports answered as recorded, ");
    semihosting_write_unsigned(sizeof session_payload);
    semihosting_write(" bytes flashed; context struct ");
    semihosting_write_unsigned(sizeof dfu);
    semihosting_write(" bytes, transfer buffer ");
    semihosting_write_unsigned(sizeof transfer_buffer);
    semihosting_write(" bytes\n");
    return 0;
}
