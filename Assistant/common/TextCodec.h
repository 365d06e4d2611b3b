#pragma once
// Conversions between the UTF-8 text used everywhere inside and the other encodings met at the
// edges: UTF-16 (module libraries, UTF-16 profile files) and ISO-8859-1 (HTTP bytes taken one
// character per byte).
#include <string>
#include <string_view>

namespace kx {

// Invalid UTF-8 sequences become U+FFFD.
std::u16string utf8ToUtf16(std::string_view text);
// True when text holds no invalid UTF-8 sequence (so utf8ToUtf16 replaces nothing).
bool isValidUtf8(std::string_view text);
// The bytes as UTF-8 with every invalid sequence replaced by U+FFFD, as a round trip through
// UTF-16 gives them; valid text (the usual case) is returned as it is, without a copy.
std::string repairedUtf8(std::string bytes);
// Unpaired surrogates become U+FFFD.
std::string utf16ToUtf8(std::u16string_view text);
// Each byte becomes the character with the same code.
std::string latin1ToUtf8(std::string_view bytes);
// Each character becomes one byte; characters above U+00FF become '?'.
std::string utf8ToLatin1(std::string_view text);
// Decodes UTF-16LE or UTF-16BE bytes (an odd trailing byte is ignored).
std::u16string utf16FromBytes(std::string_view bytes, bool bigEndian);
std::string utf16ToBytes(std::u16string_view text, bool bigEndian);
std::string utf16ToLeBytes(std::u16string_view text);
// Appends the UTF-8 form of one code point.
void appendUtf8(std::string& out, char32_t codePoint);
// Number of characters (code points) in UTF-8 text, and its first n characters.
std::size_t utf8Length(std::string_view text);
std::string utf8Prefix(std::string_view text, std::size_t characters);

} // namespace kx
