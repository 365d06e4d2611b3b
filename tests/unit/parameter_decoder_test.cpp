#include "http/ParameterDecoder.h"

#include <gtest/gtest.h>

using namespace kx::http;
using Params = std::vector<std::pair<std::string, std::string>>;

struct DecodeCase {
    const char* text;
    const char* charset;
    Params expected;
};

TEST(ParameterDecoder, DecodesPiecesByTheServiceRules)
{
    const DecodeCase cases[] = {
        {"a=a+b%2Bc", "", {{"a", "a b+c"}}},
        {"x=1&y=2&x=3", "", {{"x", "1"}, {"y", "2"}, {"x", "3"}}},
        // Without a charset each byte is one character: three characters, not one.
        {"v=%E4%B8%AD", "", {{"v", "\xC3\xA4\xC2\xB8\xC2\xAD"}}},
        {"v=%E4%B8%AD", "utf-8", {{"v", "中"}}},
        {"v=%e4%b8%ad", "UTF-8", {{"v", "中"}}},
        // A "%" not followed by two hex digits is dropped with the two characters after it.
        {"v=a%zzb", "", {{"v", "ab"}}},
        {"v=a%2", "", {{"v", "a"}}},
        {"v=a%", "", {{"v", "a"}}},
        {"v=100%", "", {{"v", "100"}}},
        // Split at the first "=" only; a piece without "=" is a name with an empty value.
        {"k=a=b&flag&=x", "", {{"k", "a=b"}, {"flag", ""}, {"", "x"}}},
        {"", "", {}},
        {"a=1&", "", {{"a", "1"}, {"", ""}}},
        // Pieces are split at a literal "&" before decoding, names and values at the first "="
        // after decoding.
        {"a=%26%3D", "", {{"a", "&="}}},
        {"name%3Dx=1", "", {{"name", "x=1"}}},
    };
    for (const auto& c : cases) {
        std::string charset = c.charset;
        for (auto& ch : charset)
            ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        EXPECT_EQ(decodeParameters(c.text, charset).pairs(), c.expected) << "text: " << c.text;
    }
}

// The charset named in the Content-Type decodes the bytes when the platform's converter knows it;
// an unknown one leaves one character per byte.
TEST(ParameterDecoder, DecodesEveryCharsetTheConverterKnows)
{
    const DecodeCase cases[] = {
        {"v=%D6%D0%CE%C4", "gbk", {{"v", "中文"}}},
        {"v=%D6%D0%CE%C4", "GB18030", {{"v", "中文"}}},
        {"v=%D6%D0%CE%C4", "\"GB2312\"", {{"v", "中文"}}},
        // Four-byte sequences of GB18030, in names too; "+" and escapes work as always.
        {"%D6%D0=%94%39%FC%36%A8%A6&b=x+y%2B", "gb18030", {{"中", "😀é"}, {"b", "x y+"}}},
        // Each piece on its own: a sequence cut off at a piece's end is U+FFFD.
        {"a=%D6&b=%CE%C4%D6", "gbk", {{"a", "\uFFFD"}, {"b", "文\uFFFD"}}},
        {"v=%C4%E3%BA%C3", "big5", {{"v", "斕疑"}}},
        {"v=%82%A0", "shift_jis", {{"v", "あ"}}},
        {"v=%E9", "windows-1252", {{"v", "é"}}},
        {"v=%E9", "iso-8859-1", {{"v", "é"}}},
        // A stateful charset decodes its shift sequences.
        {"v=%1B%24B%24%22%1B%28B", "iso-2022-jp", {{"v", "あ"}}},
        // What the converter gives is valid UTF-8, also where it would pass on more (glibc's UTF-8
        // decoder takes 31-bit sequences, reached here through the spelling "utf+8").
        {"v=%F7%90%91%8Fa%E4%B8%AD", "utf+8", {{"v", "\uFFFD\uFFFD\uFFFD\uFFFDa中"}}},
        {"v=%D6%D0", "x-no-such-charset", {{"v", "\xC3\x96\xC3\x90"}}},
        {"v=%D6%D0", "gbk//translit", {{"v", "\xC3\x96\xC3\x90"}}},
    };
    for (const auto& c : cases) {
        const auto params = decodeParameters(c.text, charsetOf(std::string("application/x-www-form-urlencoded; charset=") + c.charset));
        EXPECT_EQ(params.pairs(), c.expected) << c.charset << ": " << c.text;
    }
}

TEST(ParameterDecoder, LookupByNameWithoutCaseFirstWins)
{
    const auto params = decodeParameters("JSONP=a&jsonp=b&Name%3D=x&flag", "");
    EXPECT_EQ(params.size(), 4u);
    EXPECT_EQ(params.find("jsonp"), "a");
    EXPECT_EQ(params.find("name"), "=x");
    EXPECT_EQ(params.find("FLAG"), "");
    EXPECT_EQ(params.find("missing"), std::nullopt);
    // Long entries (their length takes several bytes) sit between short ones.
    const std::string big(300000, 'q');
    const auto mixed = decodeParameters("a=1&payload=" + big + "&b=%41" + std::string(200, 'r') + "&c=3", "utf-8");
    EXPECT_EQ(mixed.find("payload"), big);
    EXPECT_EQ(mixed.find("b"), "A" + std::string(200, 'r'));
    EXPECT_EQ(mixed.find("c"), "3");
    EXPECT_EQ(RequestParameters({{"URL", "u"}, {"x", ""}}).pairs(), (Params{{"URL", "u"}, {"x", ""}}));
}

TEST(ParameterDecoder, FormBodyComesBeforeQueryOnlyForUrlEncodedRequests)
{
    const struct {
        const char* contentType;
        const char* body;
        const char* query;
        const char* text;
    } cases[] = {
        {"application/x-www-form-urlencoded", "a=1", "b=2", "a=1&b=2"},
        {"Application/X-WWW-Form-Urlencoded; charset=UTF-8", "a=1", "", "a=1"},
        {"application/x-www-form-urlencoded", "", "b=2", "&b=2"},
        {"application/x-www-form-urlencoded", "a=1&", "&b", "a=1&&&b"},
        {"application/x-www-form-urlencoded", "", "", ""},
        {"application/json", "{\"a\":1}", "b=2", "b=2"},
        {"", "a=1", "b=2", "b=2"},
        {"", "a=1", "", ""},
    };
    for (const auto& c : cases) {
        const ParameterText text = parameterText(c.contentType, c.body, c.query);
        EXPECT_EQ(text.joined(), c.text) << c.contentType << " " << c.body << " " << c.query;
        // Decoding the parts gives what decoding the joined text gives.
        EXPECT_EQ(decodeParameters(text, "").pairs(), decodeParameters(text.joined(), "").pairs()) << c.text;
    }
}

TEST(ParameterDecoder, ContentTypeParts)
{
    EXPECT_EQ(charsetOf("application/x-www-form-urlencoded; charset=UTF-8"), "utf-8");
    EXPECT_EQ(charsetOf("text/html;charset=\"ISO-8859-1\""), "iso-8859-1");
    EXPECT_EQ(charsetOf("text/html; boundary=x; Charset=utf-8"), "utf-8");
    EXPECT_EQ(charsetOf("text/html"), "");
    EXPECT_EQ(mediaTypeOf(" Text/HTML ; charset=utf-8"), "text/html");
}

TEST(ParameterDecoder, PathsArePercentDecodedAsUtf8)
{
    EXPECT_EQ(decodePath("/he%61rt"), "/heart");
    EXPECT_EQ(decodePath("/%E4%B8%AD"), "/中");
    EXPECT_EQ(decodePath("/a+b"), "/a+b");
    EXPECT_EQ(decodePath("/a%zz"), "/a%zz");
}
