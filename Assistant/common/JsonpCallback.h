#pragma once
// The JSONP callback name a page passes to the script endpoints (/heart, /update). Only a plain
// JavaScript identifier path is ever written in front of a reply: ASCII letters, digits, "_" and
// "$" in segments joined by single dots, no segment empty or starting with a digit, at most 128
// characters ("cb", "$.cb_1", "jQuery123.fn"). Anything else (markup, script, "a..b", ".a") is
// treated as no callback at all, so a reply can never carry script a request smuggled in.
#include <string>
#include <string_view>

namespace kx {

constexpr std::size_t kMaxJsonpCallbackLength = 128;

bool isJsonpCallbackName(std::string_view name);
// The name when it is one, else the empty text.
std::string jsonpCallback(const std::string& parameter);

} // namespace kx
