#pragma once
// File operations that need more than the standard library offers: replacing a file atomically
// and asking whether an existing file may be written.
#include <string>
#include <string_view>

namespace kx::platform {

// Writes bytes to a new file in the folder of path, flushes it to disk and renames it over path,
// so readers see either the old or the new contents, never a part. An existing file keeps its
// permissions and (where allowed) its owner; a symbolic link is followed and its target replaced.
// False on any failure, with the temporary file removed and path untouched.
bool replaceFileAtomically(const std::string& path, std::string_view bytes);

// True when path is an existing regular file that is not marked read-only (some write permission
// bit set) and that this process is allowed to write.
bool fileWritable(const std::string& path);

} // namespace kx::platform
