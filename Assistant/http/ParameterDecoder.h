#pragma once
// Decoding of request parameters from the query string and an url-encoded form body.
#include "http/RequestParameters.h"

#include <string>
#include <string_view>

namespace kx::http {

// The charset parameter of a Content-Type value ("" when none), lower case.
std::string charsetOf(std::string_view contentType);
// The media type of a Content-Type value without parameters, lower case.
std::string mediaTypeOf(std::string_view contentType);

// The text to decode for a request: the form body (for application/x-www-form-urlencoded), then
// "&" and the query string when it is not empty; otherwise the query string alone. Held as views
// of the body and the query, so a large body is never copied; they must outlive this object.
struct ParameterText {
    std::string_view form; // empty unless the request is a form
    bool isForm = false;
    std::string_view query;

    std::string joined() const;
};
ParameterText parameterText(std::string_view contentType, std::string_view body, std::string_view query);

// Splits at "&"; in each piece "+" becomes a blank, "%XX" the byte XX, a "%" not followed by two
// hex digits is dropped with the two characters after it. The bytes are then decoded with the
// charset (lower case, "" when none was named): UTF-8 for "utf-8", every other charset that the
// platform's converter knows with it, and one character per byte when none is named or the
// charset is unknown. Invalid sequences become U+FFFD. Each piece is split at its first "=".
// Memory: about the size of the text again, however many entries it holds.
RequestParameters decodeParameters(std::string_view text, std::string_view charset);
RequestParameters decodeParameters(const ParameterText& text, std::string_view charset);

// Percent-decodes a path as UTF-8 ("+" stays "+"; a malformed "%" is kept as it is).
std::string decodePath(std::string_view rawPath);

} // namespace kx::http
