#pragma once
// Text for files that the system's own tools read in the system's code page (the run log): UTF-8
// text turned into the bytes of that code page. On Windows this is the ANSI code page, and a
// character it cannot represent becomes the code page's default character; on Linux the code page
// is UTF-8 and the text stays as it is.
#include <string>
#include <string_view>

namespace kx::platform {

std::string toSystemCodePage(std::string_view utf8);

} // namespace kx::platform
