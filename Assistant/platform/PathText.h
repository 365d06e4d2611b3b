#pragma once
// Paths as the core writes them (UTF-8 text, "\" or "/" between the parts, as in the
// configuration files) and as the file system takes them. Every path the core builds from text
// goes through pathFromUtf8, and every path it turns back into text through utf8FromPath, so the
// same code holds where the native path encoding is not UTF-8.
#include <filesystem>
#include <string>
#include <string_view>

namespace kx::platform {

// Every separator the configuration files may use turned into this system's own ("\" and "/"
// are both separators here).
std::string toNativeSeparators(std::string_view path);

// The file system path named by UTF-8 text.
std::filesystem::path pathFromUtf8(std::string_view text);
// The UTF-8 text of a file system path.
std::string utf8FromPath(const std::filesystem::path& path);

} // namespace kx::platform
