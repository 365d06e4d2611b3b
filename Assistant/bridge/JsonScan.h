#pragma once
// Small scanning steps shared by the JSON readers, for UTF-8 text and for UTF-16 text (a module's
// result buffer), and the nesting limit every reader of request data keeps.
#include <cstdint>
#include <string_view>

namespace kx {

// The deepest nesting of arrays and objects that any JSON text taken from a request or from a
// module may have: far beyond any business document, and shallow enough that the recursive
// readers and writers stay well inside a thread's stack.
constexpr int kMaxJsonDepth = 512;

namespace jsonscan {

template <typename Ch>
bool hex4(std::basic_string_view<Ch> text, std::size_t& pos, std::uint32_t& out)
{
    if (pos + 4 > text.size())
        return false;
    out = 0;
    for (int i = 0; i < 4; ++i) {
        const auto h = static_cast<std::uint32_t>(text[pos++]);
        out <<= 4;
        if (h >= '0' && h <= '9') out |= h - '0';
        else if (h >= 'a' && h <= 'f') out |= h - 'a' + 10;
        else if (h >= 'A' && h <= 'F') out |= h - 'A' + 10;
        else return false;
    }
    return true;
}

template <typename Ch>
bool number(std::basic_string_view<Ch> text, std::size_t& pos, bool strictZero)
{
    auto peek = [&] { return pos < text.size() ? static_cast<std::uint32_t>(text[pos]) : 0u; };
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

} // namespace jsonscan

// Reads four hexadecimal digits at pos (the digits of a \uXXXX escape) into out, advancing pos.
// False when fewer than four characters remain or one is not a hexadecimal digit.
inline bool scanHex4(std::string_view text, std::size_t& pos, std::uint32_t& out)
{
    return jsonscan::hex4(text, pos, out);
}
inline bool scanHex4(std::u16string_view text, std::size_t& pos, std::uint32_t& out)
{
    return jsonscan::hex4(text, pos, out);
}

// Reads a number at pos ("-"? digits ("." digits)? ([eE] [+-]? digits)?), advancing pos. With
// strictZero a leading "0" ends the integer part (further digits are left unread, as JSON wants).
inline bool scanNumber(std::string_view text, std::size_t& pos, bool strictZero)
{
    return jsonscan::number(text, pos, strictZero);
}
inline bool scanNumber(std::u16string_view text, std::size_t& pos, bool strictZero)
{
    return jsonscan::number(text, pos, strictZero);
}

// True when no array or object in the text lies deeper than `limit` levels (the outermost one is
// level 1). Brackets inside strings do not count. For a text that is valid JSON the answer is
// exact; for any other text it is only a bound, and the parser refuses the text anyway.
inline bool jsonNestingWithin(std::string_view text, int limit)
{
    int depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit)
                return false;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return true;
}

} // namespace kx
