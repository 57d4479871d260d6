/* Integer types of the device-upgrade library's C interface. */
#ifndef HIDDFU_TYPES_H
#define HIDDFU_TYPES_H

#include <stdint.h>

typedef uint8_t uint8;
typedef uint16_t uint16;
typedef int32_t int32;

#endif
