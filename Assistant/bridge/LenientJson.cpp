#include "bridge/LenientJson.h"

#include "bridge/JsonScan.h"
#include "common/TextCodec.h"

#include <cstdint>

namespace kx {

LenientValue::LenientValue() = default;
LenientValue::LenientValue(const LenientValue&) = default;
LenientValue::LenientValue(LenientValue&&) noexcept = default;
LenientValue& LenientValue::operator=(const LenientValue&) = default;
LenientValue& LenientValue::operator=(LenientValue&&) noexcept = default;
LenientValue::~LenientValue() = default;

const LenientValue* LenientValue::member(const std::string& name) const
{
    for (const auto& [key, value] : members)
        if (key == name)
            return &value;
    return nullptr;
}

namespace {

class Parser {
public:
    explicit Parser(const std::string& text) : s_(text) {}

    std::optional<LenientValue> parseDocument()
    {
        LenientValue v;
        if (!skipBlanks() || !parseValue(v, 0) || !skipBlanks() || pos_ != s_.size())
            return std::nullopt;
        return v;
    }

private:
    bool atEnd() const { return pos_ >= s_.size(); }
    char peek() const { return atEnd() ? '\0' : s_[pos_]; }

    // Skips whitespace and comments; false on an unterminated block comment.
    bool skipBlanks()
    {
        while (!atEnd()) {
            const unsigned char c = static_cast<unsigned char>(s_[pos_]);
            if (c <= 0x20) {
                ++pos_;
            } else if (c == '/' && pos_ + 1 < s_.size() && s_[pos_ + 1] == '/') {
                while (!atEnd() && s_[pos_] != '\n')
                    ++pos_;
            } else if (c == '/' && pos_ + 1 < s_.size() && s_[pos_ + 1] == '*') {
                const auto end = s_.find("*/", pos_ + 2);
                if (end == std::string::npos)
                    return false;
                pos_ = end + 2;
            } else {
                break;
            }
        }
        return true;
    }

    // `depth` is the number of arrays and objects that enclose the value.
    bool parseValue(LenientValue& v, int depth)
    {
        if (atEnd())
            return false;
        const char c = peek();
        if ((c == '{' || c == '[') && depth >= kMaxJsonDepth)
            return false;
        if (c == '{')
            return parseObject(v, depth);
        if (c == '[')
            return parseArray(v, depth);
        if (c == '"' || c == '\'') {
            v.kind = LenientValue::Kind::String;
            return parseString(v.text);
        }
        if (c == '-' || (c >= '0' && c <= '9'))
            return parseNumber(v);
        return parseWord(v);
    }

    bool parseWord(LenientValue& v)
    {
        struct Word {
            const char* text;
            LenientValue::Kind kind;
            bool value;
        };
        static const Word words[] = {{"true", LenientValue::Kind::Boolean, true},
                                     {"false", LenientValue::Kind::Boolean, false},
                                     {"null", LenientValue::Kind::Null, false}};
        for (const Word& word : words) {
            const std::string w = word.text;
            if (s_.compare(pos_, w.size(), w) == 0 && !isNameChar(pos_ + w.size())) {
                pos_ += w.size();
                v.kind = word.kind;
                v.boolean = word.value;
                return true;
            }
        }
        return false;
    }

    bool isNameChar(std::size_t at) const
    {
        if (at >= s_.size())
            return false;
        const unsigned char c = static_cast<unsigned char>(s_[at]);
        return c >= 0x80 || c == '_' || c == '$' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
               (c >= 'A' && c <= 'Z');
    }

    bool parseNumber(LenientValue& v)
    {
        const std::size_t start = pos_;
        if (!scanNumber(s_, pos_, false))
            return false;
        v.kind = LenientValue::Kind::Number;
        v.text = s_.substr(start, pos_ - start);
        return true;
    }

    bool hex4(std::uint32_t& out) { return scanHex4(s_, pos_, out); }

    bool parseString(std::string& out)
    {
        const char quote = s_[pos_++];
        out.clear();
        while (!atEnd()) {
            const char c = s_[pos_++];
            if (c == quote)
                return true;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (atEnd())
                return false;
            const char e = s_[pos_++];
            switch (e) {
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                std::uint32_t cp = 0;
                if (!hex4(cp))
                    return false;
                if (cp >= 0xD800 && cp < 0xDC00 && s_.compare(pos_, 2, "\\u") == 0) {
                    const std::size_t save = pos_;
                    pos_ += 2;
                    std::uint32_t low = 0;
                    if (hex4(low) && low >= 0xDC00 && low < 0xE000)
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    else
                        pos_ = save;
                }
                if (cp >= 0xD800 && cp < 0xE000)
                    cp = 0xFFFD;
                appendUtf8(out, cp);
                break;
            }
            default: out += e; break; // \" \\ \/ \' and any other character stand for themselves
            }
        }
        return false;
    }

    bool parseName(std::string& out)
    {
        if (peek() == '"' || peek() == '\'')
            return parseString(out);
        const std::size_t start = pos_;
        while (isNameChar(pos_))
            ++pos_;
        out = s_.substr(start, pos_ - start);
        return pos_ > start;
    }

    bool parseArray(LenientValue& v, int depth)
    {
        v.kind = LenientValue::Kind::Array;
        ++pos_;
        for (;;) {
            if (!skipBlanks())
                return false;
            if (peek() == ']') {
                ++pos_;
                return true;
            }
            LenientValue item;
            if (!parseValue(item, depth + 1) || !skipBlanks())
                return false;
            v.items.push_back(std::move(item));
            if (peek() == ',')
                ++pos_;
            else if (peek() != ']')
                return false;
        }
    }

    bool parseObject(LenientValue& v, int depth)
    {
        v.kind = LenientValue::Kind::Object;
        ++pos_;
        for (;;) {
            if (!skipBlanks())
                return false;
            if (peek() == '}') {
                ++pos_;
                return true;
            }
            std::string name;
            if (!parseName(name) || !skipBlanks() || peek() != ':')
                return false;
            ++pos_;
            LenientValue item;
            if (!skipBlanks() || !parseValue(item, depth + 1) || !skipBlanks())
                return false;
            bool replaced = false;
            for (auto& [key, value] : v.members)
                if (key == name) {
                    value = std::move(item);
                    replaced = true;
                    break;
                }
            if (!replaced)
                v.members.emplace_back(std::move(name), std::move(item));
            if (peek() == ',')
                ++pos_;
            else if (peek() != '}')
                return false;
        }
    }

    const std::string& s_;
    std::size_t pos_ = 0;
};

void writeString(std::string& out, const std::string& text)
{
    out += '"';
    for (char c : text) {
        if (c == '"' || c == '\\' || c == '/') {
            out += '\\';
            out += c;
        } else if (c == '\0') {
            out += "\\u0000";
        } else {
            out += c;
        }
    }
    out += '"';
}

void writeValue(std::string& out, const LenientValue& v)
{
    switch (v.kind) {
    case LenientValue::Kind::Null: out += "null"; break;
    case LenientValue::Kind::Boolean: out += v.boolean ? "true" : "false"; break;
    case LenientValue::Kind::Number: out += v.text; break;
    case LenientValue::Kind::String: writeString(out, v.text); break;
    case LenientValue::Kind::Array:
        out += '[';
        for (std::size_t i = 0; i < v.items.size(); ++i) {
            if (i)
                out += ',';
            writeValue(out, v.items[i]);
        }
        out += ']';
        break;
    case LenientValue::Kind::Object:
        out += '{';
        for (std::size_t i = 0; i < v.members.size(); ++i) {
            if (i)
                out += ',';
            writeString(out, v.members[i].first);
            out += ':';
            writeValue(out, v.members[i].second);
        }
        out += '}';
        break;
    }
}

} // namespace

std::optional<LenientValue> parseLenientJson(const std::string& text)
{
    return Parser(text).parseDocument();
}

std::string writeLenientJson(const LenientValue& value)
{
    std::string out;
    writeValue(out, value);
    return out;
}

} // namespace kx
