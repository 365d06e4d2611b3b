#include "platform/Memory.h"

#include <malloc.h>

namespace kx::platform {

void returnLargeBlocksToSystem()
{
    // A fixed threshold also turns off glibc's sliding one, which after the first large free would
    // serve later large blocks from heap arenas that are seldom given back.
    mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
}

} // namespace kx::platform
