#include "http/ParameterDecoder.h"

#include "common/TextCodec.h"

#include <algorithm>
#include <cctype>

namespace kx::http {
namespace {

std::string lower(std::string_view s)
{
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "+" to blank, "%XX" to the byte; a "%" without two hex digits is dropped with the two
// characters after it.
std::string unescapePiece(std::string_view piece)
{
    std::string out;
    out.reserve(piece.size());
    for (std::size_t i = 0; i < piece.size(); ++i) {
        char c = piece[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%') {
            if (i + 2 < piece.size() && hexValue(piece[i + 1]) >= 0 && hexValue(piece[i + 2]) >= 0) {
                out += static_cast<char>(hexValue(piece[i + 1]) * 16 + hexValue(piece[i + 2]));
            }
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

std::string decodeBytes(const std::string& bytes, std::string_view charset)
{
    if (charset == "utf-8" || charset == "utf8")
        return utf16ToUtf8(utf8ToUtf16(bytes)); // invalid sequences become U+FFFD
    return latin1ToUtf8(bytes);
}

} // namespace

std::string charsetOf(std::string_view contentType)
{
    std::size_t pos = 0;
    while ((pos = contentType.find(';', pos)) != std::string_view::npos) {
        ++pos;
        std::size_t end = contentType.find(';', pos);
        std::string_view param = trim(contentType.substr(pos, end == std::string_view::npos ? end : end - pos));
        auto eq = param.find('=');
        if (eq != std::string_view::npos && lower(trim(param.substr(0, eq))) == "charset") {
            std::string_view value = trim(param.substr(eq + 1));
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
                value = value.substr(1, value.size() - 2);
            return lower(value);
        }
    }
    return "";
}

std::string mediaTypeOf(std::string_view contentType)
{
    return lower(trim(contentType.substr(0, contentType.find(';'))));
}

std::vector<std::pair<std::string, std::string>> decodeParameters(std::string_view text,
                                                                  std::string_view charset)
{
    std::vector<std::pair<std::string, std::string>> params;
    if (text.empty())
        return params;
    std::size_t start = 0;
    while (true) {
        std::size_t amp = text.find('&', start);
        std::string_view piece = text.substr(start, amp == std::string_view::npos ? amp : amp - start);
        std::string decoded = decodeBytes(unescapePiece(piece), charset);
        auto eq = decoded.find('=');
        if (eq == std::string::npos)
            params.emplace_back(decoded, "");
        else
            params.emplace_back(decoded.substr(0, eq), decoded.substr(eq + 1));
        if (amp == std::string_view::npos)
            break;
        start = amp + 1;
    }
    return params;
}

std::string parameterText(std::string_view contentType, std::string_view body, std::string_view query)
{
    if (mediaTypeOf(contentType) == "application/x-www-form-urlencoded") {
        std::string text(body);
        if (!query.empty()) {
            text += '&';
            text += query;
        }
        return text;
    }
    return std::string(query);
}

std::string decodePath(std::string_view rawPath)
{
    std::string bytes;
    bytes.reserve(rawPath.size());
    for (std::size_t i = 0; i < rawPath.size(); ++i) {
        if (rawPath[i] == '%' && i + 2 < rawPath.size() && hexValue(rawPath[i + 1]) >= 0 &&
            hexValue(rawPath[i + 2]) >= 0) {
            bytes += static_cast<char>(hexValue(rawPath[i + 1]) * 16 + hexValue(rawPath[i + 2]));
            i += 2;
        } else {
            bytes += rawPath[i];
        }
    }
    return utf16ToUtf8(utf8ToUtf16(bytes));
}

} // namespace kx::http
