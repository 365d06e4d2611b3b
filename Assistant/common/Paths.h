#pragma once
// Paths under the program folder. Relative paths are written with "\" as in the configuration
// files; on this platform every "\" is a separator.
#include <string>
#include <string_view>

namespace kx {

// programFolder + "/" + relative, with "\" turned into "/" and no doubled separator.
std::string programPath(const std::string& programFolder, std::string_view relative);
// "\" turned into "/".
std::string toNativeSeparators(std::string_view path);

} // namespace kx
