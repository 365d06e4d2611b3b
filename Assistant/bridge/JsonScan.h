#pragma once
// Small scanning steps shared by the JSON readers, for UTF-8 text and for UTF-16 text (a module's
// result buffer), and the nesting limit every reader of request data keeps.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>
#include <system_error>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <string_view>

namespace kx {

// The deepest nesting of arrays and objects that any JSON text taken from a request or from a
// module may have: far beyond any business document, and shallow enough that the recursive
// readers and writers stay well inside a thread's stack.
constexpr int kMaxJsonDepth = 512;

namespace jsonscan {

template <typename Ch>
bool hex4(std::basic_string_view<Ch> text, std::size_t& pos, std::uint32_t& out)
{
    if (pos + 4 > text.size())
        return false;
    out = 0;
    for (int i = 0; i < 4; ++i) {
        const auto h = static_cast<std::uint32_t>(text[pos++]);
        out <<= 4;
        if (h >= '0' && h <= '9') out |= h - '0';
        else if (h >= 'a' && h <= 'f') out |= h - 'a' + 10;
        else if (h >= 'A' && h <= 'F') out |= h - 'A' + 10;
        else return false;
    }
    return true;
}

// False when the number (a lexeme the scanner below accepted) lies beyond the range of a double,
// as 4e444 does: the strict reader refuses such a number, and a page that parses the reply would
// read it as Infinity and pass it on as null. A number too small for a double is no fault (it is
// read as zero). Only lexemes with an exponent or hundreds of digits can be out of range, so the
// others cost one look at their length.
template <typename Ch>
bool withinDoubleRange(std::basic_string_view<Ch> lexeme)
{
    bool exponent = false;
    for (Ch c : lexeme)
        exponent = exponent || c == 'e' || c == 'E';
    if (!exponent && lexeme.size() < 300)
        return true;
    std::string ascii(lexeme.size(), '\0');
    for (std::size_t i = 0; i < lexeme.size(); ++i)
        ascii[i] = static_cast<char>(lexeme[i]);
    double value = 0;
    const char* first = ascii.data() + (ascii[0] == '-' ? 1 : 0);
    const auto [end, error] = std::from_chars(first, ascii.data() + ascii.size(), value);
    if (error != std::errc::result_out_of_range)
        return true;
    // Out of range either way: too large when the decimal exponent is positive. The exponent is
    // the written one plus the position of the first significant digit relative to the point.
    long long written = 0;
    const std::size_t e = ascii.find_first_of("eE");
    if (e != std::string::npos) {
        const char* digits = ascii.data() + e + 1;
        const bool negative = *digits == '-';
        digits += (*digits == '+' || *digits == '-') ? 1 : 0;
        for (; *digits; ++digits)
            written = std::min<long long>(written * 10 + (*digits - '0'), 1000000000LL);
        written = negative ? -written : written;
    }
    const std::string mantissa = ascii.substr(first - ascii.data(), e == std::string::npos ? std::string::npos : e - (first - ascii.data()));
    const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
    const std::size_t significant = mantissa.find_first_of("123456789");
    if (significant == std::string::npos)
        return true; // zero
    const long long position = significant < point ? static_cast<long long>(point - significant) - 1
                                                   : -static_cast<long long>(significant - point);
    return written + position < 0;
}

template <typename Ch>
bool number(std::basic_string_view<Ch> text, std::size_t& pos, bool strictZero)
{
    const std::size_t start = pos;
    auto peek = [&] { return pos < text.size() ? static_cast<std::uint32_t>(text[pos]) : 0u; };
    auto digits = [&] {
        const std::size_t from = pos;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9')
            ++pos;
        return pos > from;
    };
    if (peek() == '-')
        ++pos;
    if (strictZero && peek() == '0')
        ++pos;
    else if (!digits())
        return false;
    if (peek() == '.') {
        ++pos;
        if (!digits())
            return false;
    }
    if (peek() == 'e' || peek() == 'E') {
        ++pos;
        if (peek() == '+' || peek() == '-')
            ++pos;
        if (!digits())
            return false;
    }
    return withinDoubleRange(text.substr(start, pos - start));
}

// Eight bytes of text at a time (8 UTF-8 bytes or 4 UTF-16 units) for the long runs of plain
// ASCII that large module results consist of.
template <typename Ch>
struct Words {
    static constexpr std::size_t kUnits = 8 / sizeof(Ch);
    static constexpr std::uint64_t kOnes = sizeof(Ch) == 1 ? 0x0101010101010101ull : 0x0001000100010001ull;
    static constexpr std::uint64_t kHighs = kOnes * (sizeof(Ch) == 1 ? 0x80u : 0x8000u);
    static constexpr std::uint64_t kNonAscii = kOnes * (sizeof(Ch) == 1 ? 0x80u : 0xFF80u);

    static std::uint64_t load(const Ch* p)
    {
        std::uint64_t v;
        std::memcpy(&v, p, 8);
        return v;
    }
    static bool anyNonAscii(std::uint64_t v) { return (v & kNonAscii) != 0; }
    // For words of ASCII units only: any unit below n, any unit equal to c.
    static bool anyBelow(std::uint64_t v, unsigned n) { return ((v - kOnes * n) & ~v & kHighs) != 0; }
    static bool anyEqual(std::uint64_t v, unsigned c) { return anyBelow(v ^ (kOnes * c), 1); }
};

// The end of the run of ASCII units starting at pos.
template <typename Ch>
std::size_t asciiRunEnd(std::basic_string_view<Ch> text, std::size_t pos)
{
    using W = Words<Ch>;
    while (pos + W::kUnits <= text.size() && !W::anyNonAscii(W::load(text.data() + pos)))
        pos += W::kUnits;
    while (pos < text.size() && static_cast<std::uint32_t>(static_cast<std::make_unsigned_t<Ch>>(text[pos])) < 0x80)
        ++pos;
    return pos;
}

// The end of the run of units starting at pos that a JSON string copies as they are: printable
// ASCII except the quotation mark and the backslash, and with `script` also except "<", ">" and
// "&". Large module results are mostly such runs, so they are measured a word at a time.
template <typename Ch>
std::size_t plainRunEnd(std::basic_string_view<Ch> text, std::size_t pos, bool script)
{
#if defined(__SSE2__)
    if constexpr (sizeof(Ch) == 2) {
        const __m128i below = _mm_set1_epi16(0x20), above = _mm_set1_epi16(0x7F);
        const __m128i quote = _mm_set1_epi16('"'), backslash = _mm_set1_epi16('\\');
        const __m128i less = _mm_set1_epi16('<'), greater = _mm_set1_epi16('>'), amp = _mm_set1_epi16('&');
        while (pos + 8 <= text.size()) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + pos));
            // Units from 0x8000 up compare as negative, so "below" catches them.
            __m128i bad = _mm_or_si128(_mm_cmplt_epi16(v, below), _mm_cmpgt_epi16(v, above));
            bad = _mm_or_si128(bad, _mm_or_si128(_mm_cmpeq_epi16(v, quote), _mm_cmpeq_epi16(v, backslash)));
            if (script)
                bad = _mm_or_si128(bad, _mm_or_si128(_mm_cmpeq_epi16(v, less),
                                                     _mm_or_si128(_mm_cmpeq_epi16(v, greater), _mm_cmpeq_epi16(v, amp))));
            if (_mm_movemask_epi8(bad))
                break;
            pos += 8;
        }
    }
#endif
    using W = Words<Ch>;
    while (pos + W::kUnits <= text.size()) {
        const std::uint64_t v = W::load(text.data() + pos);
        if (W::anyNonAscii(v) || W::anyBelow(v, 0x20) || W::anyEqual(v, '"') || W::anyEqual(v, '\\') ||
            (script && (W::anyEqual(v, '<') || W::anyEqual(v, '>') || W::anyEqual(v, '&'))))
            break;
        pos += W::kUnits;
    }
    while (pos < text.size()) {
        const auto c = static_cast<std::uint32_t>(static_cast<std::make_unsigned_t<Ch>>(text[pos]));
        if (c < 0x20 || c >= 0x80 || c == '"' || c == '\\' || (script && (c == '<' || c == '>' || c == '&')))
            break;
        ++pos;
    }
    return pos;
}

// Writes n ASCII units as bytes.
inline void narrowAscii(const char16_t* from, std::size_t n, char* to)
{
    std::size_t i = 0;
#if defined(__SSE2__)
    for (; i + 16 <= n; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i + 8));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + i), _mm_packus_epi16(a, b));
    }
#endif
    for (; i < n; ++i)
        to[i] = static_cast<char>(from[i]);
}

} // namespace jsonscan

// Reads four hexadecimal digits at pos (the digits of a \uXXXX escape) into out, advancing pos.
// False when fewer than four characters remain or one is not a hexadecimal digit.
inline bool scanHex4(std::string_view text, std::size_t& pos, std::uint32_t& out)
{
    return jsonscan::hex4(text, pos, out);
}
inline bool scanHex4(std::u16string_view text, std::size_t& pos, std::uint32_t& out)
{
    return jsonscan::hex4(text, pos, out);
}

// Reads a number at pos ("-"? digits ("." digits)? ([eE] [+-]? digits)?), advancing pos. With
// strictZero a leading "0" ends the integer part (further digits are left unread, as JSON wants).
// A number beyond the range of a double is refused (withinDoubleRange).
inline bool scanNumber(std::string_view text, std::size_t& pos, bool strictZero)
{
    return jsonscan::number(text, pos, strictZero);
}
inline bool scanNumber(std::u16string_view text, std::size_t& pos, bool strictZero)
{
    return jsonscan::number(text, pos, strictZero);
}

// True when no array or object in the text lies deeper than `limit` levels (the outermost one is
// level 1). Brackets inside strings do not count. For a text that is valid JSON the answer is
// exact; for any other text it is only a bound, and the parser refuses the text anyway.
inline bool jsonNestingWithin(std::string_view text, int limit)
{
    int depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit)
                return false;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return true;
}

} // namespace kx
