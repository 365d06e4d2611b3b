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

// Reads a number at pos ("-"? digits ("." digits)? ([eE] [+-]? digits)?), advancing pos. With
// strictZero a leading "0" ends the integer part (further digits are left unread, as JSON wants).
inline bool scanNumber(std::string_view text, std::size_t& pos, bool strictZero)
{
    auto peek = [&] { return pos < text.size() ? text[pos] : '\0'; };
    auto digits = [&] {
        const std::size_t from = pos;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9')
            ++pos;
        return pos > from;
    };
    if (peek() == '-')
        ++pos;
    if (strictZero && peek() == '0')
        ++pos;
    else if (!digits())
        return false;
    if (peek() == '.') {
        ++pos;
        if (!digits())
            return false;
    }
    if (peek() == 'e' || peek() == 'E') {
        ++pos;
        if (peek() == '+' || peek() == '-')
            ++pos;
        if (!digits())
            return false;
    }
    return true;
}

} // namespace kx
