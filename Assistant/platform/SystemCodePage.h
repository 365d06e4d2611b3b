#pragma once
// Text for files kept in the system's code page (the run log, profile files without a byte order
// mark, the script prefix file) and for the module update request body: UTF-8 text turned into
// the bytes of that code page, and such bytes turned back into UTF-8. On Windows this is the ANSI
// code page; on Linux the code page is UTF-8 and the bytes stay as they are in both directions.
#include <string>
#include <string_view>

namespace kx::platform {

// A character the code page cannot represent becomes the code page's default character.
std::string toSystemCodePage(std::string_view utf8);

// On Windows, bytes that are no character of the code page become the code page's default
// Unicode character; on Linux the bytes are returned unchanged (invalid UTF-8 included).
std::string fromSystemCodePage(std::string_view bytes);

} // namespace kx::platform
