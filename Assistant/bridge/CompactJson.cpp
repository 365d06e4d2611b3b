#include "bridge/CompactJson.h"

#include "bridge/JsonScan.h"


namespace kx {

std::string compactJson(const Json& value)
{
    // ensure_ascii=false keeps non-ASCII text as it is; nlohmann escapes exactly the quotation
    // mark, the backslash and U+0000..U+001F (short forms where they exist, else \u00xx).
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string scriptSafeJson(const Json& value)
{
    // Outside strings compact JSON holds only punctuation, digits and the literals, so each of
    // these characters found in the text lies inside a string and can be replaced by its escape.
    const std::string plain = compactJson(value);
    std::string out;
    out.reserve(plain.size());
    for (std::size_t i = 0; i < plain.size(); ++i) {
        const char c = plain[i];
        if (c == '<') {
            out += "\\u003c";
        } else if (c == '>') {
            out += "\\u003e";
        } else if (c == '&') {
            out += "\\u0026";
        } else if (c == '\xE2' && i + 2 < plain.size() && plain[i + 1] == '\x80' &&
                   (plain[i + 2] == '\xA8' || plain[i + 2] == '\xA9')) {
            out += plain[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
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
    // The parser itself does not recurse, but writing, comparing or copying what it built does:
    // a document nested tens of thousands deep is refused before it is built.
    if (!jsonNestingWithin(text, kMaxJsonDepth))
        return std::nullopt;
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

// Where the rewrite goes: a string, a byte count, or pieces handed to a writer.
class StringSink {
public:
    explicit StringSink(std::string& out) : out_(out) {}
    void byte(char c) { out_ += c; }
    void bytes(const char* p, std::size_t n) { out_.append(p, n); }
    void narrow(const char16_t* p, std::size_t n)
    {
        const std::size_t at = out_.size();
        out_.resize(at + n);
        jsonscan::narrowAscii(p, n, out_.data() + at);
    }

private:
    std::string& out_;
};

class CountSink {
public:
    void byte(char) { ++n_; }
    void bytes(const char*, std::size_t n) { n_ += n; }
    void narrow(const char16_t*, std::size_t n) { n_ += n; }
    std::uint64_t size() const { return n_; }

private:
    std::uint64_t n_ = 0;
};

class PieceSink {
public:
    explicit PieceSink(const JsonPieceWriter& write) : write_(write) { buffer_.reserve(kJsonPieceBytes); }
    void byte(char c)
    {
        if (buffer_.size() == kJsonPieceBytes)
            flush();
        buffer_ += c;
    }
    void bytes(const char* p, std::size_t n)
    {
        while (n > 0) {
            if (buffer_.size() == kJsonPieceBytes)
                flush();
            const std::size_t take = std::min(n, kJsonPieceBytes - buffer_.size());
            buffer_.append(p, take);
            p += take;
            n -= take;
        }
    }
    void narrow(const char16_t* p, std::size_t n)
    {
        while (n > 0) {
            if (buffer_.size() == kJsonPieceBytes)
                flush();
            const std::size_t take = std::min(n, kJsonPieceBytes - buffer_.size());
            const std::size_t at = buffer_.size();
            buffer_.resize(at + take);
            jsonscan::narrowAscii(p, take, buffer_.data() + at);
            p += take;
            n -= take;
        }
    }
    // Hands over what is left; false when the writer gave up at any point.
    bool finish()
    {
        if (!buffer_.empty())
            flush();
        return ok_;
    }

private:
    void flush()
    {
        // After a refusal the rest is dropped: the reply cannot be completed anyway.
        if (ok_)
            ok_ = write_(buffer_);
        buffer_.clear();
    }

    const JsonPieceWriter& write_;
    std::string buffer_;
    bool ok_ = true;
};

// One pass over a JSON object text (UTF-8 bytes or UTF-16 code units), written to a sink.
template <typename Ch, typename Sink>
class CompactRewriter {
public:
    CompactRewriter(Sink& out, std::basic_string_view<Ch> in, JsonEscaping escaping)
        : out_(out), in_(in), script_(escaping == JsonEscaping::Script)
    {
    }

    bool object()
    {
        skipBlanks();
        if (peek() != '{' || !value(0))
            return false;
        skipBlanks();
        return pos_ == in_.size();
    }

private:
    std::uint32_t peek() const { return pos_ < in_.size() ? static_cast<std::uint32_t>(in_[pos_]) : 0u; }
    void skipBlanks()
    {
        while (pos_ < in_.size() && (in_[pos_] == ' ' || in_[pos_] == '\t' || in_[pos_] == '\n' || in_[pos_] == '\r'))
            ++pos_;
    }

    // Writes ASCII units as bytes.
    void copyAscii(std::size_t from, std::size_t n)
    {
        if constexpr (sizeof(Ch) == 1)
            out_.bytes(reinterpret_cast<const char*>(in_.data() + from), n);
        else
            out_.narrow(in_.data() + from, n);
    }

    // `depth` is the number of arrays and objects that enclose the value.
    bool value(int depth)
    {
        switch (peek()) {
        case '{': return depth < kMaxJsonDepth && members(depth + 1);
        case '[': return depth < kMaxJsonDepth && elements(depth + 1);
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
        out_.byte('{');
        skipBlanks();
        if (peek() == '}') {
            ++pos_;
            out_.byte('}');
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
            out_.byte(':');
            skipBlanks();
            if (!value(depth))
                return false;
            skipBlanks();
            if (peek() == ',') {
                ++pos_;
                out_.byte(',');
            } else if (peek() == '}') {
                ++pos_;
                out_.byte('}');
                return true;
            } else {
                return false;
            }
        }
    }

    bool elements(int depth)
    {
        ++pos_;
        out_.byte('[');
        skipBlanks();
        if (peek() == ']') {
            ++pos_;
            out_.byte(']');
            return true;
        }
        for (;;) {
            skipBlanks();
            if (!value(depth))
                return false;
            skipBlanks();
            if (peek() == ',') {
                ++pos_;
                out_.byte(',');
            } else if (peek() == ']') {
                ++pos_;
                out_.byte(']');
                return true;
            } else {
                return false;
            }
        }
    }

    bool literal(std::string_view word)
    {
        if (pos_ + word.size() > in_.size())
            return false;
        for (std::size_t i = 0; i < word.size(); ++i)
            if (static_cast<std::uint32_t>(in_[pos_ + i]) != static_cast<unsigned char>(word[i]))
                return false;
        pos_ += word.size();
        out_.bytes(word.data(), word.size());
        return true;
    }

    bool number()
    {
        const std::size_t start = pos_;
        if (!jsonscan::number(in_, pos_, true))
            return false;
        copyAscii(start, pos_ - start);
        return true;
    }

    void putUtf8(std::uint32_t cp)
    {
        if (cp < 0x80) {
            out_.byte(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out_.byte(static_cast<char>(0xC0 | (cp >> 6)));
            out_.byte(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out_.byte(static_cast<char>(0xE0 | (cp >> 12)));
            out_.byte(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out_.byte(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out_.byte(static_cast<char>(0xF0 | (cp >> 18)));
            out_.byte(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out_.byte(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out_.byte(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }

    void putEscape(std::uint32_t cp)
    {
        static const char hex[] = "0123456789abcdef";
        const char text[6] = {'\\', 'u', hex[(cp >> 12) & 15], hex[(cp >> 8) & 15], hex[(cp >> 4) & 15], hex[cp & 15]};
        out_.bytes(text, 6);
    }

    // One character of a string's content, escaped as the output form wants.
    void putCodePoint(std::uint32_t cp)
    {
        switch (cp) {
        case '"': out_.bytes("\\\"", 2); return;
        case '\\': out_.bytes("\\\\", 2); return;
        case '\b': out_.bytes("\\b", 2); return;
        case '\t': out_.bytes("\\t", 2); return;
        case '\n': out_.bytes("\\n", 2); return;
        case '\f': out_.bytes("\\f", 2); return;
        case '\r': out_.bytes("\\r", 2); return;
        default: break;
        }
        if (cp < 0x20 || (script_ && (cp == '<' || cp == '>' || cp == '&' || cp == 0x2028 || cp == 0x2029)))
            putEscape(cp);
        else
            putUtf8(cp);
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

    // A character at or above U+0080 in the input, written out; false when the input is invalid.
    bool nonAscii()
    {
        if constexpr (sizeof(Ch) == 1) {
            const std::size_t n = utf8Sequence();
            if (!n)
                return false;
            if (script_ && n == 3 && in_[pos_] == '\xE2' && in_[pos_ + 1] == '\x80' &&
                (in_[pos_ + 2] == '\xA8' || in_[pos_ + 2] == '\xA9')) {
                putEscape(in_[pos_ + 2] == '\xA8' ? 0x2028 : 0x2029);
            } else {
                out_.bytes(reinterpret_cast<const char*>(in_.data() + pos_), n);
            }
            pos_ += n;
        } else {
            std::uint32_t cp = in_[pos_++];
            if (cp >= 0xD800 && cp <= 0xDBFF && pos_ < in_.size() && in_[pos_] >= 0xDC00 && in_[pos_] <= 0xDFFF)
                cp = 0x10000 + ((cp - 0xD800) << 10) + (in_[pos_++] - 0xDC00);
            else if (cp >= 0xD800 && cp <= 0xDFFF)
                cp = 0xFFFD;
            putCodePoint(cp);
        }
        return true;
    }

    bool string()
    {
        ++pos_;
        out_.byte('"');
        for (;;) {
            // Copy the plain run in one go.
            const std::size_t run = jsonscan::plainRunEnd(in_, pos_, script_);
            copyAscii(pos_, run - pos_);
            pos_ = run;
            if (pos_ >= in_.size())
                return false;
            const std::uint32_t c = static_cast<std::uint32_t>(in_[pos_]);
            if (c == '"') {
                ++pos_;
                out_.byte('"');
                return true;
            }
            if (c < 0x20)
                return false;
            if (c >= 0x80) {
                if (!nonAscii())
                    return false;
                continue;
            }
            if (c != '\\') { // "<", ">" or "&" in the script-safe form
                ++pos_;
                putCodePoint(c);
                continue;
            }
            // An escape.
            if (++pos_ >= in_.size())
                return false;
            const std::uint32_t e = static_cast<std::uint32_t>(in_[pos_++]);
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
                if (!jsonscan::hex4(in_, pos_, cp))
                    return false;
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    std::uint32_t low = 0;
                    if (pos_ + 2 > in_.size() || in_[pos_] != '\\' || in_[pos_ + 1] != 'u')
                        return false;
                    pos_ += 2;
                    if (!jsonscan::hex4(in_, pos_, low) || low < 0xDC00 || low > 0xDFFF)
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

    Sink& out_;
    std::basic_string_view<Ch> in_;
    std::size_t pos_ = 0;
    bool script_;
};

std::string_view withoutBom(std::string_view text)
{
    if (text.starts_with("\xEF\xBB\xBF"))
        text.remove_prefix(3);
    return text;
}

std::u16string_view withoutBom(std::u16string_view text)
{
    if (!text.empty() && text.front() == u'\xFEFF')
        text.remove_prefix(1);
    return text;
}

template <typename Ch>
bool appendObject(std::string& out, std::basic_string_view<Ch> text, JsonEscaping escaping)
{
    const std::size_t mark = out.size();
    StringSink sink(out);
    if (CompactRewriter<Ch, StringSink>(sink, withoutBom(text), escaping).object())
        return true;
    out.resize(mark);
    return false;
}

template <typename Ch>
std::optional<std::uint64_t> objectSize(std::basic_string_view<Ch> text, JsonEscaping escaping)
{
    CountSink sink;
    if (!CompactRewriter<Ch, CountSink>(sink, withoutBom(text), escaping).object())
        return std::nullopt;
    return sink.size();
}

template <typename Ch>
bool writeObject(std::basic_string_view<Ch> text, JsonEscaping escaping, const JsonPieceWriter& write)
{
    PieceSink sink(write);
    const bool ok = CompactRewriter<Ch, PieceSink>(sink, withoutBom(text), escaping).object();
    return sink.finish() && ok;
}

} // namespace

bool appendCompactObject(std::string& out, std::string_view text, JsonEscaping escaping)
{
    return appendObject(out, text, escaping);
}

bool appendCompactObject(std::string& out, std::u16string_view text, JsonEscaping escaping)
{
    return appendObject(out, text, escaping);
}

std::optional<std::uint64_t> compactObjectSize(std::string_view text, JsonEscaping escaping)
{
    return objectSize(text, escaping);
}

std::optional<std::uint64_t> compactObjectSize(std::u16string_view text, JsonEscaping escaping)
{
    return objectSize(text, escaping);
}

bool writeCompactObject(std::string_view text, JsonEscaping escaping, const JsonPieceWriter& write)
{
    return writeObject(text, escaping, write);
}

bool writeCompactObject(std::u16string_view text, JsonEscaping escaping, const JsonPieceWriter& write)
{
    return writeObject(text, escaping, write);
}

} // namespace kx
