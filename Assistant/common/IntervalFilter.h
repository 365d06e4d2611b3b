#pragma once
// The character filter of the update-interval box: whole hours from 1 to 24, typed digit by digit.
#include <string>
#include <string_view>

namespace kx {

inline constexpr char32_t kBackspace = 0x08;

struct IntervalKeyVerdict {
    bool accept = false;   // the character goes into the box
    bool clearBox = false; // the box is emptied before the character is entered
    std::string hint;      // the hint shown under the box; empty clears it
};

// wouldBe: the box's text as it would read with the character entered (text before the
// selection + character + text after it, or the whole text + character when nothing is
// selected), UTF-8. key: the typed character.
IntervalKeyVerdict filterIntervalKey(std::string_view wouldBe, char32_t key);

} // namespace kx
