// Linux: ask for transparent huge pages on the page-aligned inside of a large
// buffer. Advisory only; a refusal changes nothing.
#include "kr_memoryhint.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace kr {

void adviseLargeBuffer(void* buffer, size_t bytes)
{
    if (buffer == nullptr || bytes < kLargeBufferBytes)
        return;
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pageSize <= 0)
        return;
    const uintptr_t page = static_cast<uintptr_t>(pageSize);
    const uintptr_t start = reinterpret_cast<uintptr_t>(buffer);
    const uintptr_t end = start + bytes;
    const uintptr_t alignedStart = (start + page - 1) & ~(page - 1);
    const uintptr_t alignedEnd = end & ~(page - 1);
    if (alignedEnd > alignedStart)
        ::madvise(reinterpret_cast<void*>(alignedStart), alignedEnd - alignedStart, MADV_HUGEPAGE);
}

} // namespace kr
