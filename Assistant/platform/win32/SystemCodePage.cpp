#include "platform/SystemCodePage.h"

#include "common/TextCodec.h"

#include <windows.h>

namespace kx::platform {

// The ANSI code page, converted the way the system converts for its "A" calls: the best-fitting
// character where there is one, otherwise the code page's default character.
std::string toSystemCodePage(std::string_view utf8)
{
    if (utf8.empty())
        return {};
    const std::u16string units = utf8ToUtf16(utf8);
    const auto* wide = reinterpret_cast<const wchar_t*>(units.data());
    const int size = static_cast<int>(units.size());
    const int bytes = WideCharToMultiByte(CP_ACP, 0, wide, size, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        return std::string(utf8.size(), '?');
    std::string out(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide, size, out.data(), bytes, nullptr, nullptr);
    return out;
}

} // namespace kx::platform
