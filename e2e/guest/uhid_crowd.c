/*
 * e2e-uhid-crowd COUNT VID PID: attaches COUNT plain HID devices (vendor
 * page, one 8-byte input and output report, no DFU reports) with the given
 * hexadecimal ids through /dev/uhid, prints "ready" once all are created,
 * and keeps them until it is killed (closing /dev/uhid removes them). It
 * fills the hidraw list for the scenarios that need many other devices in
 * front of the one under test, in one small process instead of many
 * simulators.
 */
#include <fcntl.h>
#include <linux/uhid.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static const unsigned char kDescriptor[] = {
    0x06, 0x00, 0xff, /* Usage Page (vendor defined 0xFF00) */
    0x09, 0x01,       /* Usage (1) */
    0xa1, 0x01,       /* Collection (Application) */
    0x85, 0x01,       /*   Report ID (1) */
    0x15, 0x00,       /*   Logical Minimum (0) */
    0x26, 0xff, 0x00, /*   Logical Maximum (255) */
    0x75, 0x08,       /*   Report Size (8) */
    0x95, 0x08,       /*   Report Count (8) */
    0x09, 0x01,       /*   Usage (1) */
    0x81, 0x02,       /*   Input (Data, Variable, Absolute) */
    0x09, 0x01,       /*   Usage (1) */
    0x91, 0x02,       /*   Output (Data, Variable, Absolute) */
    0xc0,             /* End Collection */
};

static int create(unsigned index, unsigned vid, unsigned pid)
{
    struct uhid_event event;
    int fd = open("/dev/uhid", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        perror("/dev/uhid");
        return -1;
    }
    memset(&event, 0, sizeof event);
    event.type = UHID_CREATE2;
    snprintf((char*)event.u.create2.name, sizeof event.u.create2.name, "e2e crowd %u", index);
    snprintf((char*)event.u.create2.uniq, sizeof event.u.create2.uniq, "crowd-%u", index);
    event.u.create2.bus = 0x03;
    event.u.create2.vendor = vid;
    event.u.create2.product = pid;
    event.u.create2.rd_size = sizeof kDescriptor;
    memcpy(event.u.create2.rd_data, kDescriptor, sizeof kDescriptor);
    if (write(fd, &event, sizeof event) != (ssize_t)sizeof event) {
        perror("UHID_CREATE2");
        close(fd);
        return -1;
    }
    return fd;
}

int main(int argc, char** argv)
{
    unsigned count, vid, pid, i;
    if (argc != 4) {
        fprintf(stderr, "usage: e2e-uhid-crowd COUNT VID PID\n");
        return 2;
    }
    count = (unsigned)strtoul(argv[1], NULL, 10);
    vid = (unsigned)strtoul(argv[2], NULL, 16);
    pid = (unsigned)strtoul(argv[3], NULL, 16);
    for (i = 0; i < count; ++i) {
        /* The descriptors stay open until the process ends. */
        if (create(i, vid, pid) < 0)
            return 1;
    }
    printf("ready\n");
    fflush(stdout);
    for (;;)
        pause();
}
