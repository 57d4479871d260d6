// A hint to the operating system about large buffers that are about to be
// filled from start to end (the payload of a big DFU file). Where the system
// can back such a buffer with huge pages, filling and then checksumming it
// takes a fraction of the page faults; elsewhere the hint does nothing.
#ifndef KR_MEMORYHINT_H
#define KR_MEMORYHINT_H

#include <cstddef>

namespace kr {

// Buffers smaller than this are left alone: the hint would not pay off.
const size_t kLargeBufferBytes = 8u << 20;

void adviseLargeBuffer(void* buffer, size_t bytes);

} // namespace kr

#endif
