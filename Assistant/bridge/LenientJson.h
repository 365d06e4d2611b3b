#pragma once
// A forgiving JSON reader for the data text of the camera and smart-card endpoints. Beyond strict
// JSON it accepts // and /* */ comments, single-quoted strings, unquoted member names and trailing
// commas. Its writer has a form of its own (see writeLenientJson).
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kx {

struct LenientValue {
    enum class Kind { Null, Boolean, Number, String, Array, Object };
    Kind kind = Kind::Null;
    bool boolean = false;
    std::string text; // a number as written, or a string's content (UTF-8)
    std::vector<LenientValue> items;
    std::vector<std::pair<std::string, LenientValue>> members; // in order; a repeated name replaces

    const LenientValue* member(const std::string& name) const;

    // Declared here and defined where LenientValue is complete: a member list of the type itself
    // must not be instantiated inside its own definition (clang with libstdc++ refuses it).
    LenientValue();
    LenientValue(const LenientValue&);
    LenientValue(LenientValue&&) noexcept;
    LenientValue& operator=(const LenientValue&);
    LenientValue& operator=(LenientValue&&) noexcept;
    ~LenientValue();
};

// nullopt when the text does not parse (or nests deeper than kMaxJsonDepth, JsonScan.h).
std::optional<LenientValue> parseLenientJson(const std::string& text);

// No whitespace; in strings and names only the quotation mark, the backslash and the solidus are
// escaped (a backslash in front of each) and NUL is written as \u0000; every other character,
// control characters included, is written as it is.
std::string writeLenientJson(const LenientValue& value);

} // namespace kx
