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
        EXPECT_EQ(decodeParameters(c.text, charset), c.expected) << "text: " << c.text;
    }
}

TEST(ParameterDecoder, FormBodyComesBeforeQueryOnlyForUrlEncodedRequests)
{
    EXPECT_EQ(parameterText("application/x-www-form-urlencoded", "a=1", "b=2"), "a=1&b=2");
    EXPECT_EQ(parameterText("Application/X-WWW-Form-Urlencoded; charset=UTF-8", "a=1", ""), "a=1");
    EXPECT_EQ(parameterText("application/json", "{\"a\":1}", "b=2"), "b=2");
    EXPECT_EQ(parameterText("", "a=1", "b=2"), "b=2");
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
