#pragma once
// Decoding of request parameters from the query string and an url-encoded form body.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kx::http {

// The charset parameter of a Content-Type value ("" when none), lower case.
std::string charsetOf(std::string_view contentType);
// The media type of a Content-Type value without parameters, lower case.
std::string mediaTypeOf(std::string_view contentType);

// Splits at "&"; in each piece "+" becomes a blank, "%XX" the byte XX, a "%" not followed by two
// hex digits is dropped with the two characters after it. The bytes are then decoded with the
// charset (UTF-8 when it is "utf-8", otherwise one character per byte) and split at the first "=".
std::vector<std::pair<std::string, std::string>> decodeParameters(std::string_view text,
                                                                  std::string_view charset);

// The text to decode for a request: the form body (for application/x-www-form-urlencoded), then
// "&" and the query string when it is not empty; otherwise the query string alone.
std::string parameterText(std::string_view contentType, std::string_view body, std::string_view query);

// Percent-decodes a path as UTF-8 ("+" stays "+"; a malformed "%" is kept as it is).
std::string decodePath(std::string_view rawPath);

} // namespace kx::http
