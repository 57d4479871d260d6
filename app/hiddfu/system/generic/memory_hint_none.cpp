// Platforms without a useful hint for large buffers.
#include "kr_memoryhint.h"

namespace kr {

void adviseLargeBuffer(void*, size_t) {}

} // namespace kr
