#pragma once
// The compact JSON text that the bridge writes everywhere: no whitespace, members in insertion
// order, only the quotation mark, the backslash and characters below U+0020 escaped (the latter
// as \b \t \n \f \r or \u00xx), everything else written as it is.
//
// Text that ends up inside a script reply is written in the script-safe form instead: the same,
// and in strings also "<", ">", "&", U+2028 and U+2029 as \u003c, \u003e, \u0026, \u2028 and
// \u2029, so that nothing a request or a module sends back can close the script element or start
// markup, while the data a page gets from parsing the JSON stays the same.
//
// Every reader here refuses text nested deeper than kMaxJsonDepth (JsonScan.h), so a hostile
// document is refused like a malformed one instead of exhausting a thread's stack.
#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace kx {

using Json = nlohmann::ordered_json;

enum class JsonEscaping { Plain, Script };

// The value as compact JSON. Values come from parseStrictJson (depth-limited) or are built here.
std::string compactJson(const Json& value);
// The value as script-safe compact JSON.
std::string scriptSafeJson(const Json& value);

// {"ret_code":code,"ret_msg":message}
std::string buildErrorBody(const std::string& code, const std::string& message);

// A strict parse; nullopt on any syntax error and for a text nested deeper than kMaxJsonDepth.
std::optional<Json> parseStrictJson(const std::string& text);

// True for an empty text or one made of blanks and control characters only.
bool isBlankText(const std::string& text);

} // namespace kx

namespace kx {

// Appends the JSON object in `text` to `out` rewritten as compact JSON (whitespace dropped,
// strings escaped as above, numbers kept exactly as written, members in their order) in one pass,
// without building a document: module results can be tens of megabytes. False, with `out`
// unchanged, when the text is not exactly one JSON object (or nests deeper than kMaxJsonDepth).
// A leading byte order mark is skipped. The UTF-16 form reads a module's result buffer directly;
// there an unpaired surrogate stands for U+FFFD.
bool appendCompactObject(std::string& out, std::string_view text, JsonEscaping escaping = JsonEscaping::Plain);
bool appendCompactObject(std::string& out, std::u16string_view text, JsonEscaping escaping = JsonEscaping::Plain);

// The byte size of what appendCompactObject would append; nullopt when it would refuse the text.
std::optional<std::uint64_t> compactObjectSize(std::string_view text, JsonEscaping escaping);
std::optional<std::uint64_t> compactObjectSize(std::u16string_view text, JsonEscaping escaping);

// Receives the output in pieces; returns false to give up (the connection is gone).
using JsonPieceWriter = std::function<bool(std::string_view)>;

// The same rewrite handed to `write` in pieces of at most kJsonPieceBytes, so no copy of the
// whole output is ever held. False when the text is refused (the pieces written so far are then
// incomplete) or when `write` gave up.
constexpr std::size_t kJsonPieceBytes = 256 * 1024;
bool writeCompactObject(std::string_view text, JsonEscaping escaping, const JsonPieceWriter& write);
bool writeCompactObject(std::u16string_view text, JsonEscaping escaping, const JsonPieceWriter& write);

} // namespace kx
