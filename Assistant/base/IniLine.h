#pragma once
// The one reader of INI-style lines, for the profile files and the AutoRun store alike: what a
// line means, with the rules of Windows profile files (blanks around names and values trimmed, ";"
// starts a comment line, a line without "=" means nothing).
#include "base/Text.h"

#include <string_view>

namespace kx::base {

struct IniLine {
    enum Kind { Other, Section, Key } kind = Other;
    std::string_view name;  // the section's name (inside the brackets) or the key's
    std::string_view value; // Key only
};

// A section header "[name]", a key "name=value", or nothing (blank, comment, no "=", no name).
constexpr IniLine readIniLine(std::string_view text)
{
    IniLine e;
    const std::string_view t = trimmed(text);
    if (t.empty() || t.front() == ';')
        return e;
    if (t.front() == '[') {
        const auto close = t.find(']');
        if (close != std::string_view::npos) {
            e.kind = IniLine::Section;
            e.name = trimmed(t.substr(1, close - 1));
            return e;
        }
    }
    const auto eq = t.find('=');
    if (eq == std::string_view::npos)
        return e;
    e.name = trimmed(t.substr(0, eq));
    if (e.name.empty())
        return e;
    e.kind = IniLine::Key;
    e.value = trimmed(t.substr(eq + 1));
    return e;
}

} // namespace kx::base
