/* memcpy and memset, the only C library functions the device core may use
 * (a compiler may also emit calls to them for struct copies and
 * initialisers). Byte loops: small, and fast enough for a test. */
#include <stddef.h>

void* memcpy(void* destination, const void* source, size_t count)
{
    unsigned char* to = destination;
    const unsigned char* from = source;
    while (count-- != 0)
        *to++ = *from++;
    return destination;
}

void* memset(void* destination, int value, size_t count)
{
    unsigned char* to = destination;
    while (count-- != 0)
        *to++ = (unsigned char)value;
    return destination;
}
