#include "platform/CharsetDecoder.h"

#include "base/Text.h"
#include "platform/win32/WideText.h"

#include <windows.h>

#include <cctype>
#include <charconv>
#include <climits>

namespace kx::platform {
namespace {

constexpr wchar_t kReplacement = 0xFFFD;

// Charset names as Content-Type headers give them, and the code page of each.
struct NamedCodePage {
    const char* name;
    UINT codePage;
};
constexpr NamedCodePage kNames[] = {
    {"utf-8", CP_UTF8}, {"utf8", CP_UTF8}, {"unicode-1-1-utf-8", CP_UTF8},
    {"gbk", 936}, {"gb2312", 936}, {"x-gbk", 936}, {"csgb2312", 936}, {"gb_2312-80", 936}, {"chinese", 936},
    {"gb18030", 54936},
    {"big5", 950}, {"csbig5", 950}, {"x-x-big5", 950},
    {"shift_jis", 932}, {"shift-jis", 932}, {"sjis", 932}, {"x-sjis", 932}, {"ms_kanji", 932},
    {"windows-31j", 932}, {"csshiftjis", 932},
    {"euc-jp", 20932}, {"iso-2022-jp", 50220}, {"csiso2022jp", 50221},
    {"euc-kr", 949}, {"ks_c_5601-1987", 949}, {"iso-2022-kr", 50225},
    {"koi8-r", 20866}, {"koi8-u", 21866},
    {"us-ascii", 20127}, {"ascii", 20127},
    {"iso-8859-1", 28591}, {"latin1", 28591}, {"l1", 28591}, {"iso_8859-1", 28591},
    {"iso-8859-2", 28592}, {"iso-8859-3", 28593}, {"iso-8859-4", 28594}, {"iso-8859-5", 28595},
    {"iso-8859-6", 28596}, {"iso-8859-7", 28597}, {"iso-8859-8", 28598}, {"iso-8859-9", 28599},
    {"iso-8859-13", 28603}, {"iso-8859-15", 28605}, {"latin-9", 28605},
    {"utf-7", CP_UTF7},
};

// "windows-1252", "cp936", "x-cp1250", "ibm866" and the like: the number is the code page.
UINT numberedCodePage(std::string_view name)
{
    for (std::string_view prefix : {"windows-", "windows", "x-cp", "cp", "ibm"}) {
        if (name.size() > prefix.size() && base::equalsNoCase(name.substr(0, prefix.size()), prefix)) {
            const std::string_view digits = name.substr(prefix.size());
            unsigned value = 0;
            const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
            if (ec == std::errc() && end == digits.data() + digits.size())
                return value;
            return 0;
        }
    }
    return 0;
}

UINT codePageOf(std::string_view charset)
{
    for (const NamedCodePage& n : kNames)
        if (base::equalsNoCase(charset, n.name))
            return n.codePage;
    return numberedCodePage(charset);
}

// Code pages whose converter has shift states or takes no flags; each text is converted whole and
// the converter's own replacement stands for what it cannot decode.
bool statefulCodePage(UINT codePage)
{
    return (codePage >= 50220 && codePage <= 50229) || (codePage >= 57002 && codePage <= 57011) ||
           codePage == CP_UTF7 || codePage == 42;
}

class CodePageDecoder final : public CharsetDecoder {
public:
    CodePageDecoder(UINT codePage, unsigned maxCharBytes) : codePage_(codePage), maxCharBytes_(maxCharBytes) {}

    void decode(std::string_view bytes, std::string& out) override
    {
        if (bytes.empty())
            return;
        std::wstring wide;
        if (bytes.size() > INT_MAX || statefulCodePage(codePage_)) {
            convert(bytes, 0, wide);
        } else if (!convert(bytes, MB_ERR_INVALID_CHARS, wide)) {
            decodeCharByChar(bytes, wide);
        }
        out += win32::utf8FromWide(wide);
    }

private:
    // Appends the UTF-16 of bytes; false (nothing appended) when the converter refuses them.
    bool convert(std::string_view bytes, DWORD flags, std::wstring& wide) const
    {
        const int size = static_cast<int>(bytes.size() > INT_MAX ? INT_MAX : bytes.size());
        const int units = MultiByteToWideChar(codePage_, flags, bytes.data(), size, nullptr, 0);
        if (units <= 0)
            return false;
        const std::size_t at = wide.size();
        wide.resize(at + static_cast<std::size_t>(units));
        MultiByteToWideChar(codePage_, flags, bytes.data(), size, wide.data() + at, units);
        return true;
    }

    bool decodes(std::string_view bytes) const
    {
        return MultiByteToWideChar(codePage_, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()),
                                   nullptr, 0) > 0;
    }

    // A text with something invalid in it, one character at a time: the shortest run of bytes that
    // decodes is the next character. Where none does, U+FFFD stands for the first byte and decoding
    // goes on after it; a character cut off at the end of the text becomes one U+FFFD.
    void decodeCharByChar(std::string_view bytes, std::wstring& wide) const
    {
        std::size_t i = 0;
        while (i < bytes.size()) {
            const std::size_t left = bytes.size() - i;
            std::size_t length = 0;
            for (std::size_t n = 1; n <= maxCharBytes_ && n <= left && !length; ++n)
                if (decodes(bytes.substr(i, n)))
                    length = n;
            if (length) {
                convert(bytes.substr(i, length), MB_ERR_INVALID_CHARS, wide);
                i += length;
                continue;
            }
            wide += kReplacement;
            if (left < maxCharBytes_ && startsCharacter(bytes.substr(i)))
                return;
            ++i;
        }
    }

    // True when some bytes after head would make it a character: tried with a few bytes from each
    // range that lead and trail bytes of the multi-byte code pages take.
    bool startsCharacter(std::string_view head) const
    {
        static constexpr unsigned char kProbes[] = {0x30, 0x41, 0x80, 0x90, 0xA1, 0xFE};
        std::string candidate(head);
        return extends(candidate, maxCharBytes_ - head.size(), kProbes, sizeof kProbes);
    }

    bool extends(std::string& candidate, std::size_t more, const unsigned char* probes, std::size_t count) const
    {
        if (more == 0)
            return false;
        for (std::size_t p = 0; p < count; ++p) {
            candidate += static_cast<char>(probes[p]);
            const bool found = decodes(candidate) || extends(candidate, more - 1, probes, count);
            candidate.pop_back();
            if (found)
                return true;
        }
        return false;
    }

    UINT codePage_;
    unsigned maxCharBytes_;
};

} // namespace

std::unique_ptr<CharsetDecoder> openCharsetDecoder(std::string_view charset)
{
    const UINT codePage = codePageOf(charset);
    CPINFO info{};
    if (codePage == 0 || !IsValidCodePage(codePage) || !GetCPInfo(codePage, &info))
        return nullptr;
    return std::make_unique<CodePageDecoder>(codePage, info.MaxCharSize ? info.MaxCharSize : 1);
}

} // namespace kx::platform
