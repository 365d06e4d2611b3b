#pragma once
// Process-wide resource limits.
#include <cstdint>

namespace kx::platform {

// Raises the soft limit on open descriptors to the hard limit, so that every connection the
// system allows can be served. Gives the soft limit in force afterwards (0 when it cannot be
// read). On Windows, where sockets have no such limit, it is the C runtime's limit on open files
// that is raised. Call once at process start.
std::uint64_t raiseDescriptorLimit();

} // namespace kx::platform
