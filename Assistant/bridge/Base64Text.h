#pragma once
// Base64 of UTF-8 text, as pages send request documents and receive agency results.
#include <string>
#include <string_view>

namespace kx {

// Decodes standard Base64, skipping every character outside the alphabet and "="; "=" closes the
// group it ends. The decoded bytes are read as UTF-8 (invalid sequences become U+FFFD).
// The decoded bytes are the only full-size copy made.
std::string decodeBase64Text(std::string_view text);
// Standard Base64 of the text's bytes on one line ("=" padding); empty for an empty text.
std::string encodeBase64Text(const std::string& text);
// decodeBase64Text, then every CR LF pair removed (a lone CR or LF stays).
std::string decodeAgencyParams(std::string_view text);

} // namespace kx
