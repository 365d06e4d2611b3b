#pragma once
// The compact JSON text that the bridge writes everywhere: no whitespace, members in insertion
// order, only the quotation mark, the backslash and characters below U+0020 escaped (the latter
// as \b \t \n \f \r or \u00xx), everything else written as it is.
#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace kx {

using Json = nlohmann::ordered_json;

std::string compactJson(const Json& value);

// {"ret_code":code,"ret_msg":message}
std::string buildErrorBody(const std::string& code, const std::string& message);

// A strict parse; nullopt on any syntax error.
std::optional<Json> parseStrictJson(const std::string& text);

// True for an empty text or one made of blanks and control characters only.
bool isBlankText(const std::string& text);

} // namespace kx

namespace kx {

// Appends the JSON object in `text` to `out` rewritten as compact JSON (whitespace dropped,
// strings escaped as above, numbers kept exactly as written, members in their order) in one pass,
// without building a document: module results can be tens of megabytes. False, with `out`
// unchanged, when the text is not exactly one JSON object.
bool appendCompactObject(std::string& out, std::string_view text);

} // namespace kx
