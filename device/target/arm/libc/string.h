/* The part of <string.h> a device core may use: memcpy and memset. Bare-
 * metal toolchains without a C library have no <string.h>; this stands in
 * for it in the Cortex-M build, and any other function of the header that
 * the core calls fails to compile here (an implicit declaration is an
 * error) instead of turning up in a firmware's link. memory.c defines the
 * two for the test programs. */
#ifndef HIDDFU_TARGET_STRING_H
#define HIDDFU_TARGET_STRING_H

#include <stddef.h>

void* memcpy(void* destination, const void* source, size_t count);
void* memset(void* destination, int value, size_t count);

#endif
