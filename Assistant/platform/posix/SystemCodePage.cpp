#include "platform/SystemCodePage.h"

namespace kx::platform {

// The system code page here is UTF-8.
std::string toSystemCodePage(std::string_view utf8)
{
    return std::string(utf8);
}

std::string fromSystemCodePage(std::string_view bytes)
{
    return std::string(bytes);
}

} // namespace kx::platform
