#pragma once
// Zero-filled blocks for module result buffers. Pages that nobody writes cost no memory. A block
// of the standard size that is given back is kept (wiped clean again) and handed out on a later
// request, which spares a map and unmap of two megabytes on every call. Whether it is kept per
// thread or for the whole process is the platform's choice.
#include <cstddef>

namespace kx::platform {

// A block of `bytes` whose every byte is zero; nullptr when memory is exhausted.
void* acquireZeroed(std::size_t bytes);
// Gives the block back (the caller must not use it afterwards).
void releaseZeroed(void* block, std::size_t bytes);

} // namespace kx::platform
