#include "http/ParameterDecoder.h"

#include "common/TextCodec.h"
#include "platform/CharsetDecoder.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <memory>

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
// characters after it. Appends to out.
void unescapePiece(std::string_view piece, std::string& out)
{
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
}

bool isAscii(std::string_view bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Turns the unescaped bytes of one piece into UTF-8, in place at the end of a buffer. Text that
// is already what it decodes to (ASCII in most charsets, valid UTF-8 in UTF-8) is left as it is,
// so the usual piece is never copied.
class PieceCharset {
public:
    explicit PieceCharset(std::string_view charset)
    {
        if (charset.empty()) {
            kind_ = Kind::Latin1;
        } else if (charset == "utf-8" || charset == "utf8") {
            kind_ = Kind::Utf8;
        } else if ((converter_ = platform::openCharsetDecoder(charset))) {
            kind_ = Kind::Converter;
            findIdentityBytes();
        } else {
            kind_ = Kind::Latin1; // an unknown charset: one character per byte
        }
    }

    // Decodes buffer[start..] in place.
    void decodeTail(std::string& buffer, std::size_t start)
    {
        const std::string_view bytes = std::string_view(buffer).substr(start);
        switch (kind_) {
        case Kind::Latin1:
            if (!isAscii(bytes))
                replaceTail(buffer, start, latin1ToUtf8(bytes));
            return;
        case Kind::Utf8:
            if (!isValidUtf8(bytes))
                replaceTail(buffer, start, utf16ToUtf8(utf8ToUtf16(bytes)));
            return;
        case Kind::Converter:
            if (!std::all_of(bytes.begin(), bytes.end(), [this](char c) { return decodesToItself(c); })) {
                const std::string raw(bytes);
                buffer.resize(start);
                convert(raw, buffer);
            }
            return;
        }
    }

private:
    enum class Kind { Latin1, Utf8, Converter };

    static void replaceTail(std::string& buffer, std::size_t start, const std::string& text)
    {
        buffer.resize(start);
        buffer += text;
    }

    // The converter's text of bytes appended to out, with anything beyond UTF-8 it passed on
    // (code points above U+10FFFF) repaired.
    void convert(std::string_view bytes, std::string& out)
    {
        const std::size_t start = out.size();
        converter_->decode(bytes, out);
        const std::string_view added = std::string_view(out).substr(start);
        if (!isValidUtf8(added))
            replaceTail(out, start, utf16ToUtf8(utf8ToUtf16(added)));
    }

    bool decodesToItself(char c) const
    {
        const auto b = static_cast<unsigned char>(c);
        return b < 0x80 && identity_[b];
    }

    // The ASCII bytes that this charset decodes to themselves, alone and all in a row (not so for
    // shift and escape bytes of stateful charsets, for UTF-16 and the like).
    void findIdentityBytes()
    {
        std::string all;
        for (int b = 0; b < 0x80; ++b) {
            const std::string one(1, static_cast<char>(b));
            std::string out;
            convert(one, out);
            identity_[b] = out == one;
            if (identity_[b])
                all += one;
        }
        std::string out;
        convert(all, out);
        if (out != all)
            identity_.fill(false);
    }

    Kind kind_ = Kind::Latin1;
    std::unique_ptr<platform::CharsetDecoder> converter_;
    std::array<bool, 0x80> identity_{};
};

// Appends the entries of text (split at every "&") to params.
void decodeInto(std::string_view text, PieceCharset& charset, RequestParameters& params)
{
    std::size_t start = 0;
    while (true) {
        const std::size_t amp = text.find('&', start);
        const std::string_view piece = text.substr(start, amp == std::string_view::npos ? amp : amp - start);
        params.appendPiece([&](std::string& buffer) {
            const std::size_t from = buffer.size();
            unescapePiece(piece, buffer);
            charset.decodeTail(buffer, from);
        });
        if (amp == std::string_view::npos)
            break;
        start = amp + 1;
    }
}

// Room for the entries of text: ASCII pieces never grow when decoded, and a piece's length takes
// one byte (the place of its "&") up to 127 bytes and one more per 128 times as many.
std::size_t expectedSize(std::size_t textSize)
{
    return textSize + textSize / 64 + 16;
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

RequestParameters decodeParameters(std::string_view text, std::string_view charset)
{
    RequestParameters params;
    if (text.empty())
        return params;
    PieceCharset decoder(charset);
    params.reserve(expectedSize(text.size()));
    decodeInto(text, decoder, params);
    return params;
}

RequestParameters decodeParameters(const ParameterText& text, std::string_view charset)
{
    // The form part, then "&" and the query when there is one: the pieces of both, in that order.
    RequestParameters params;
    const bool withForm = text.isForm && (!text.form.empty() || !text.query.empty());
    const bool withQuery = !text.query.empty();
    if (!withForm && !withQuery)
        return params;
    PieceCharset decoder(charset);
    params.reserve(expectedSize(text.form.size() + text.query.size()));
    if (withForm)
        decodeInto(text.form, decoder, params);
    if (withQuery)
        decodeInto(text.query, decoder, params);
    return params;
}

std::string ParameterText::joined() const
{
    if (!isForm)
        return std::string(query);
    std::string out(form);
    if (!query.empty()) {
        out += '&';
        out += query;
    }
    return out;
}

ParameterText parameterText(std::string_view contentType, std::string_view body, std::string_view query)
{
    if (mediaTypeOf(contentType) == "application/x-www-form-urlencoded")
        return ParameterText{body, true, query};
    return ParameterText{{}, false, query};
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
    return repairedUtf8(std::move(bytes));
}

} // namespace kx::http
