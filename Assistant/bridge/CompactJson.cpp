#include "bridge/CompactJson.h"

#include "bridge/JsonScan.h"

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

namespace kx {

namespace {

class CompactRewriter {
public:
    CompactRewriter(std::string& out, std::string_view in) : out_(out), in_(in) {}

    bool object()
    {
        skipBlanks();
        if (peek() != '{' || !value(0))
            return false;
        skipBlanks();
        return pos_ == in_.size();
    }

private:
    static constexpr int kMaxDepth = 2048;

    char peek() const { return pos_ < in_.size() ? in_[pos_] : '\0'; }
    void skipBlanks()
    {
        while (pos_ < in_.size() && (in_[pos_] == ' ' || in_[pos_] == '\t' || in_[pos_] == '\n' || in_[pos_] == '\r'))
            ++pos_;
    }

    bool value(int depth)
    {
        if (depth > kMaxDepth)
            return false;
        switch (peek()) {
        case '{': return members(depth);
        case '[': return elements(depth);
        case '"': return string();
        case 't': return literal("true");
        case 'f': return literal("false");
        case 'n': return literal("null");
        default: return number();
        }
    }

    bool members(int depth)
    {
        ++pos_;
        out_ += '{';
        skipBlanks();
        if (peek() == '}') {
            ++pos_;
            out_ += '}';
            return true;
        }
        for (;;) {
            skipBlanks();
            if (peek() != '"' || !string())
                return false;
            skipBlanks();
            if (peek() != ':')
                return false;
            ++pos_;
            out_ += ':';
            skipBlanks();
            if (!value(depth + 1))
                return false;
            skipBlanks();
            if (peek() == ',') {
                ++pos_;
                out_ += ',';
            } else if (peek() == '}') {
                ++pos_;
                out_ += '}';
                return true;
            } else {
                return false;
            }
        }
    }

    bool elements(int depth)
    {
        ++pos_;
        out_ += '[';
        skipBlanks();
        if (peek() == ']') {
            ++pos_;
            out_ += ']';
            return true;
        }
        for (;;) {
            skipBlanks();
            if (!value(depth + 1))
                return false;
            skipBlanks();
            if (peek() == ',') {
                ++pos_;
                out_ += ',';
            } else if (peek() == ']') {
                ++pos_;
                out_ += ']';
                return true;
            } else {
                return false;
            }
        }
    }

    bool literal(std::string_view word)
    {
        if (in_.substr(pos_, word.size()) != word)
            return false;
        pos_ += word.size();
        out_ += word;
        return true;
    }

    bool number()
    {
        const std::size_t start = pos_;
        if (!scanNumber(in_, pos_, true))
            return false;
        out_.append(in_.substr(start, pos_ - start));
        return true;
    }

    bool hex4(std::uint32_t& v) { return scanHex4(in_, pos_, v); }

    void putCodePoint(std::uint32_t cp)
    {
        static const char hex[] = "0123456789abcdef";
        switch (cp) {
        case '"': out_ += "\\\""; return;
        case '\\': out_ += "\\\\"; return;
        case '\b': out_ += "\\b"; return;
        case '\t': out_ += "\\t"; return;
        case '\n': out_ += "\\n"; return;
        case '\f': out_ += "\\f"; return;
        case '\r': out_ += "\\r"; return;
        default: break;
        }
        if (cp < 0x20) {
            out_ += "\\u00";
            out_ += hex[cp >> 4];
            out_ += hex[cp & 15];
        } else if (cp < 0x80) {
            out_ += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out_ += static_cast<char>(0xC0 | (cp >> 6));
            out_ += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out_ += static_cast<char>(0xE0 | (cp >> 12));
            out_ += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out_ += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out_ += static_cast<char>(0xF0 | (cp >> 18));
            out_ += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out_ += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out_ += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    // Length of the valid UTF-8 sequence at pos_, 0 when invalid.
    std::size_t utf8Sequence() const
    {
        const auto b = [&](std::size_t i) { return static_cast<unsigned char>(in_[pos_ + i]); };
        const auto cont = [&](std::size_t i) { return pos_ + i < in_.size() && (b(i) & 0xC0) == 0x80; };
        const unsigned char c = b(0);
        if (c >= 0xC2 && c <= 0xDF)
            return cont(1) ? 2 : 0;
        if (c >= 0xE0 && c <= 0xEF) {
            if (!cont(1) || !cont(2) || (c == 0xE0 && b(1) < 0xA0) || (c == 0xED && b(1) > 0x9F))
                return 0;
            return 3;
        }
        if (c >= 0xF0 && c <= 0xF4) {
            if (!cont(1) || !cont(2) || !cont(3) || (c == 0xF0 && b(1) < 0x90) || (c == 0xF4 && b(1) > 0x8F))
                return 0;
            return 4;
        }
        return 0;
    }

    bool string()
    {
        ++pos_;
        out_ += '"';
        for (;;) {
            // Copy the plain run in one go.
            std::size_t run = pos_;
            while (run < in_.size()) {
                const unsigned char c = static_cast<unsigned char>(in_[run]);
                if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80)
                    break;
                ++run;
            }
            out_.append(in_.substr(pos_, run - pos_));
            pos_ = run;
            if (pos_ >= in_.size())
                return false;
            const unsigned char c = static_cast<unsigned char>(in_[pos_]);
            if (c == '"') {
                ++pos_;
                out_ += '"';
                return true;
            }
            if (c < 0x20)
                return false;
            if (c >= 0x80) {
                const std::size_t n = utf8Sequence();
                if (!n)
                    return false;
                out_.append(in_.substr(pos_, n));
                pos_ += n;
                continue;
            }
            // An escape.
            if (++pos_ >= in_.size())
                return false;
            const char e = in_[pos_++];
            switch (e) {
            case '"': putCodePoint('"'); break;
            case '\\': putCodePoint('\\'); break;
            case '/': putCodePoint('/'); break;
            case 'b': putCodePoint('\b'); break;
            case 'f': putCodePoint('\f'); break;
            case 'n': putCodePoint('\n'); break;
            case 'r': putCodePoint('\r'); break;
            case 't': putCodePoint('\t'); break;
            case 'u': {
                std::uint32_t cp = 0;
                if (!hex4(cp))
                    return false;
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    std::uint32_t low = 0;
                    if (in_.substr(pos_, 2) != "\\u")
                        return false;
                    pos_ += 2;
                    if (!hex4(low) || low < 0xDC00 || low > 0xDFFF)
                        return false;
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                    return false;
                }
                putCodePoint(cp);
                break;
            }
            default:
                return false;
            }
        }
    }

    std::string& out_;
    std::string_view in_;
    std::size_t pos_ = 0;
};

} // namespace

bool appendCompactObject(std::string& out, std::string_view text)
{
    if (text.starts_with("\xEF\xBB\xBF"))
        text.remove_prefix(3);
    const std::size_t mark = out.size();
    if (CompactRewriter(out, text).object())
        return true;
    out.resize(mark);
    return false;
}

} // namespace kx
