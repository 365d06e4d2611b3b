#pragma once
// UTF-8 text as the UTF-16 text the Windows calls of the shell take (wchar_t is 16 bits there).
#include "common/TextCodec.h"

#include <string>
#include <string_view>

namespace kx::win {

inline std::wstring wideText(std::string_view utf8)
{
    const std::u16string units = utf8ToUtf16(utf8);
    return std::wstring(units.begin(), units.end());
}

} // namespace kx::win
