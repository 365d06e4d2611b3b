// Decoding form bytes in a named charset with the system's code pages.
#include "platform/CharsetDecoder.h"

#include <gtest/gtest.h>

#include <windows.h>

using namespace kx;

namespace {

std::string decode(const char* charset, std::string_view bytes)
{
    auto decoder = platform::openCharsetDecoder(charset);
    if (!decoder)
        return "(unknown)";
    std::string out = "[";
    decoder->decode(bytes, out);
    return out + "]";
}

} // namespace

TEST(CharsetDecoder, DecodesTheCodePageOfTheName)
{
    const struct {
        const char* charset;
        std::string bytes;
        const char* text;
    } cases[] = {
        {"gbk", "\xD6\xD0\xCE\xC4", "[中文]"},
        {"GBK", "\xD6\xD0\xCE\xC4", "[中文]"},
        {"gb2312", "\xD6\xD0\xCE\xC4", "[中文]"},
        {"cp936", "\xD6\xD0\xCE\xC4", "[中文]"},
        {"windows-936", "\xD6\xD0 a+b", "[中 a+b]"},
        {"gb18030", "\xD6\xD0\x94\x39\xFC\x36", "[中😀]"},
        {"big5", "\xA4\xA4\xA4\xE5", "[中文]"},
        {"Shift_JIS", "\x82\xA0", "[あ]"},
        {"euc-kr", "\xC7\xD1", "[한]"},
        {"windows-1252", "\x80\xE9", "[€é]"},
        {"iso-8859-1", "\x80\xE9", "[\xC2\x80é]"},
        {"koi8-r", "\xC1", "[а]"},
        {"utf-8", "\xE4\xB8\xAD", "[中]"},
        {"gbk", "", "[]"},
        // Invalid bytes become U+FFFD one by one and decoding goes on after them; a character cut
        // off at the end becomes one U+FFFD.
        {"gbk", "\xD6\xD0\xFF" "A", "[中\uFFFDA]"},
        {"gbk", "\xCE\xC4\xD6", "[文\uFFFD]"},
        {"gbk", "\xD6", "[\uFFFD]"},
        {"gb18030", "\xD6\xD0\x81\x30", "[中\uFFFD]"},
        {"shift_jis", "\x82" "A\x82\xA0", "[\uFFFDAあ]"},
        {"utf-8", "a\xE4\xB8", "[a\uFFFD]"},
        // Names that no code page has.
        {"x-no-such-charset", "\xD6\xD0", "(unknown)"},
        {"gbk//translit", "\xD6\xD0", "(unknown)"},
        {"cp", "\xD6\xD0", "(unknown)"},
        {"cp99999", "\xD6\xD0", "(unknown)"},
        {"", "\xD6\xD0", "(unknown)"},
    };
    // Wine 8 has no GB18030 code page (54936), which Windows has: there the name is unknown.
    const bool gb18030 = IsValidCodePage(54936);
    for (const auto& c : cases) {
        const bool missing = !gb18030 && std::string_view(c.charset) == "gb18030";
        EXPECT_EQ(decode(c.charset, c.bytes), missing ? "(unknown)" : c.text) << c.charset;
    }
}

TEST(CharsetDecoder, EachTextIsDecodedOnItsOwn)
{
    auto decoder = platform::openCharsetDecoder("gbk");
    ASSERT_TRUE(decoder);
    std::string out;
    decoder->decode("\xD6", out); // a lead byte alone does not carry over into the next text
    decoder->decode("\xD0", out);
    decoder->decode("\xCE\xC4", out);
    EXPECT_EQ(out, "\uFFFD\uFFFD文");
}

// The ANSI code page, named by its number, is one the decoder knows.
TEST(CharsetDecoder, TheAnsiCodePageIsKnownByItsNumber)
{
    const std::string name = "cp" + std::to_string(GetACP());
    auto decoder = platform::openCharsetDecoder(name);
    ASSERT_TRUE(decoder) << name;
    std::string out;
    decoder->decode("Kestrix", out);
    EXPECT_EQ(out, "Kestrix");
}
