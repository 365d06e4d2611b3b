#pragma once
// Replacing a whole file so that readers see either the old or the new content, never a part.
#include <string>
#include <string_view>

namespace kx {

// Writes bytes to a temporary file beside path and renames it over path. The folder must exist.
// Raises KxError naming the file when anything fails; the old file is then left as it was.
void writeFileAtomically(const std::string& path, std::string_view bytes);

} // namespace kx
