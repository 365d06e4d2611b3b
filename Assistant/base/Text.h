#pragma once
// Text helpers shared by every layer (the core and the platform seam alike): comparison of names
// without case and trimming of blanks. ASCII letters only are folded, so UTF-8 text compares byte
// for byte beyond them. This folder names no operating system and includes nothing of the project.
#include <string_view>

namespace kx::base {

constexpr char lowerAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// True when a and b are the same text with ASCII letters compared without case.
constexpr bool equalsNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lowerAscii(a[i]) != lowerAscii(b[i]))
            return false;
    return true;
}

// True when text begins with prefix, ASCII letters compared without case.
constexpr bool startsWithNoCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && equalsNoCase(text.substr(0, prefix.size()), prefix);
}

// text without the characters of blanks at either end (spaces and tabs unless told otherwise).
constexpr std::string_view trimmed(std::string_view text, std::string_view blanks = " \t")
{
    const auto begin = text.find_first_not_of(blanks);
    if (begin == std::string_view::npos)
        return {};
    const auto end = text.find_last_not_of(blanks);
    return text.substr(begin, end - begin + 1);
}

// text without the characters of blanks at its end.
constexpr std::string_view trimmedEnd(std::string_view text, std::string_view blanks = " \t")
{
    const auto end = text.find_last_not_of(blanks);
    return end == std::string_view::npos ? std::string_view{} : text.substr(0, end + 1);
}

} // namespace kx::base
