#include "platform/SystemCodePage.h"

#include <windows.h>

namespace kx::platform {

// The ANSI code page, converted the way the system converts for its "A" calls: the best-fitting
// character where there is one, otherwise the code page's default character. Invalid UTF-8
// becomes U+FFFD first.
std::string toSystemCodePage(std::string_view utf8)
{
    if (utf8.empty())
        return {};
    const int length = static_cast<int>(utf8.size());
    const int units = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, nullptr, 0);
    if (units <= 0)
        return std::string(utf8.size(), '?');
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, wide.data(), units);
    // No best fit ("ā" would become "a"): what the code page lacks becomes its default character.
    // A code page of UTF-8 itself takes no flags.
    const DWORD flags = GetACP() == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    const int bytes = WideCharToMultiByte(CP_ACP, flags, wide.data(), units, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        return std::string(utf8.size(), '?');
    std::string out(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_ACP, flags, wide.data(), units, out.data(), bytes, nullptr, nullptr);
    return out;
}

// The ANSI code page read the way the system reads it for its "A" calls: bytes that are no
// character of the code page become its default Unicode character.
std::string fromSystemCodePage(std::string_view bytes)
{
    if (bytes.empty())
        return {};
    const int length = static_cast<int>(bytes.size());
    const int units = MultiByteToWideChar(CP_ACP, 0, bytes.data(), length, nullptr, 0);
    if (units <= 0)
        return std::string(bytes.size(), '?');
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_ACP, 0, bytes.data(), length, wide.data(), units);
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), units, nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return std::string(bytes.size(), '?');
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), units, out.data(), size, nullptr, nullptr);
    return out;
}

} // namespace kx::platform
