#pragma once
// Small scanning steps shared by the JSON readers.
#include <cstdint>
#include <string_view>

namespace kx {

// Reads four hexadecimal digits at pos (the digits of a \uXXXX escape) into out, advancing pos.
// False when fewer than four characters remain or one is not a hexadecimal digit.
inline bool scanHex4(std::string_view text, std::size_t& pos, std::uint32_t& out)
{
    if (pos + 4 > text.size())
        return false;
    out = 0;
    for (int i = 0; i < 4; ++i) {
        const char h = text[pos++];
        out <<= 4;
        if (h >= '0' && h <= '9') out |= static_cast<std::uint32_t>(h - '0');
        else if (h >= 'a' && h <= 'f') out |= static_cast<std::uint32_t>(h - 'a' + 10);
        else if (h >= 'A' && h <= 'F') out |= static_cast<std::uint32_t>(h - 'A' + 10);
        else return false;
    }
    return true;
}

} // namespace kx
