#pragma once
// Process-wide memory behaviour.

namespace kx::platform {

// Large blocks (module results of many megabytes, result buffers) come straight from the system
// and go back to it when freed, so memory after a burst of large calls returns to what it was.
// Call once at process start.
void returnLargeBlocksToSystem();

} // namespace kx::platform
