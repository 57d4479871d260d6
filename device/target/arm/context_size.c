/* The size of the core's context struct on the CPU this is compiled for, as
 * the size of a symbol: `arm-none-eabi-nm -S` reads it without running
 * anything (bench/device-size.sh). */
#include "hiddfu_device.h"

const unsigned char hiddfu_context_size[sizeof(hiddfu_dev)] = {0};
