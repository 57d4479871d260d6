/*
 * The only C library functions the device core calls. They are declared
 * here instead of being taken from <string.h>: a freestanding toolchain
 * (arm-none-eabi-gcc without newlib, for one) need not have that header, yet
 * every C environment, freestanding ones included, provides these two, and
 * compilers emit calls to them on their own.
 */
#ifndef HIDDFU_LIBC_SUBSET_H
#define HIDDFU_LIBC_SUBSET_H

#include <stddef.h>

void *memcpy(void *destination, const void *source, size_t length);
void *memset(void *destination, int value, size_t length);

#endif
