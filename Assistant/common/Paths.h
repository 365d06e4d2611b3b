#pragma once
// Paths under the program folder. Relative paths are written with "\" as in the configuration
// files; on this platform every "\" is a separator.
#include "platform/PathText.h"

#include <string>
#include <string_view>

namespace kx {

using platform::pathFromUtf8;
using platform::toNativeSeparators;
using platform::utf8FromPath;

// programFolder + separator + relative, with the separators of relative turned into this
// system's own ("/"; "\" on Windows) and no doubled separator at the join.
std::string programPath(const std::string& programFolder, std::string_view relative);

} // namespace kx
