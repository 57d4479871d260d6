/* Semihosting calls: `bkpt 0xab` with the operation in r0 and its argument
 * in r1; the emulator carries them out (qemu with -semihosting-config
 * enable=on). */
#include "semihosting.h"

enum {
    kSysWrite0 = 0x04,
    kSysExit = 0x18,
};

/* SYS_EXIT reason codes: ApplicationExit ends the emulator with status 0,
 * RunTimeErrorUnknown with status 1. On 32-bit ARM r1 holds the code itself. */
enum {
    kApplicationExit = 0x20026,
    kRunTimeErrorUnknown = 0x20023,
};

static uint32_t semihosting_call(uint32_t operation, const void* argument)
{
    register uint32_t r0 __asm__("r0") = operation;
    register const void* r1 __asm__("r1") = argument;
    __asm__ volatile("bkpt 0xab" : "+r"(r0) : "r"(r1) : "memory");
    return r0;
}

void semihosting_write(const char* text)
{
    semihosting_call(kSysWrite0, text);
}

void semihosting_write_unsigned(uint32_t value)
{
    char digits[11];
    char* first = &digits[sizeof digits - 1];
    *first = '\0';
    do {
        *--first = (char)('0' + value % 10u);
        value /= 10u;
    } while (value != 0);
    semihosting_write(first);
}

void semihosting_exit(int success)
{
    semihosting_call(kSysExit, (const void*)(uintptr_t)(success ? kApplicationExit : kRunTimeErrorUnknown));
    for (;;) {
    }
}
