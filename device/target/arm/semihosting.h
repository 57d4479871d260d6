/* Output and exit status through the emulator's semihosting interface. */
#ifndef HIDDFU_TARGET_SEMIHOSTING_H
#define HIDDFU_TARGET_SEMIHOSTING_H

#include <stdint.h>

/* Writes a zero-terminated string to the emulator's console. */
void semihosting_write(const char* text);

/* Writes `value` in decimal. */
void semihosting_write_unsigned(uint32_t value);

/* Ends the emulator: exit status 0 when `success` is non-zero, else 1. */
void semihosting_exit(int success) __attribute__((noreturn));

#endif
