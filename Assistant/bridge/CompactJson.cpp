#include "bridge/CompactJson.h"

namespace kx {

std::string compactJson(const Json& value)
{
    // ensure_ascii=false keeps non-ASCII text as it is; nlohmann escapes exactly the quotation
    // mark, the backslash and U+0000..U+001F (short forms where they exist, else \u00xx).
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string buildErrorBody(const std::string& code, const std::string& message)
{
    Json body = Json::object();
    body["ret_code"] = code;
    body["ret_msg"] = message;
    return compactJson(body);
}

std::optional<Json> parseStrictJson(const std::string& text)
{
    Json value = Json::parse(text, nullptr, false);
    if (value.is_discarded())
        return std::nullopt;
    return value;
}

bool isBlankText(const std::string& text)
{
    for (unsigned char c : text)
        if (c > 0x20)
            return false;
    return true;
}

} // namespace kx
