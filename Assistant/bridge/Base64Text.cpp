#include "bridge/Base64Text.h"

#include "common/TextCodec.h"

namespace kx {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int sextet(unsigned char c)
{
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

} // namespace

std::string decodeBase64Text(std::string_view text)
{
    std::string bytes;
    bytes.reserve(text.size() / 4 * 3 + 3);
    unsigned value = 0;
    int count = 0;
    auto flush = [&] {
        // A group of two or three sextets carries one or two bytes; a lone sextet carries none.
        if (count == 2)
            bytes += static_cast<char>((value >> 4) & 0xFF);
        else if (count == 3) {
            bytes += static_cast<char>((value >> 10) & 0xFF);
            bytes += static_cast<char>((value >> 2) & 0xFF);
        }
        value = 0;
        count = 0;
    };
    for (unsigned char c : text) {
        if (c == '=') {
            flush();
            continue;
        }
        int s = sextet(c);
        if (s < 0)
            continue;
        value = (value << 6) | static_cast<unsigned>(s);
        if (++count == 4) {
            bytes += static_cast<char>((value >> 16) & 0xFF);
            bytes += static_cast<char>((value >> 8) & 0xFF);
            bytes += static_cast<char>(value & 0xFF);
            value = 0;
            count = 0;
        }
    }
    flush();
    return repairedUtf8(std::move(bytes));
}

std::string encodeBase64Text(const std::string& text)
{
    std::string out;
    out.reserve((text.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= text.size(); i += 3) {
        unsigned v = (static_cast<unsigned char>(text[i]) << 16) |
                     (static_cast<unsigned char>(text[i + 1]) << 8) | static_cast<unsigned char>(text[i + 2]);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    const std::size_t rest = text.size() - i;
    if (rest == 1) {
        unsigned v = static_cast<unsigned char>(text[i]) << 16;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += "==";
    } else if (rest == 2) {
        unsigned v = (static_cast<unsigned char>(text[i]) << 16) | (static_cast<unsigned char>(text[i + 1]) << 8);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

std::string decodeAgencyParams(std::string_view text)
{
    const std::string decoded = decodeBase64Text(text);
    std::string out;
    out.reserve(decoded.size());
    for (std::size_t i = 0; i < decoded.size(); ++i) {
        if (decoded[i] == '\r' && i + 1 < decoded.size() && decoded[i + 1] == '\n') {
            ++i;
            continue;
        }
        out += decoded[i];
    }
    return out;
}

} // namespace kx
