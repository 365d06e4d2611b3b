// The texts of the module bridge: compact JSON, Base64, the lenient reader and writer, the module
// config and data derivations, script replies, the agency flag, the signing request, preview names.
#include "bridge/Base64Text.h"
#include "bridge/BusinessEndpoint.h"
#include "bridge/CompactJson.h"
#include "bridge/KxRemoteActuator.h"
#include "bridge/LenientJson.h"
#include "bridge/ModuleTexts.h"
#include "bridge/PreviewImage.h"
#include "bridge/ScriptReply.h"
#include "bridge/Sign.h"
#include "common/Errors.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace kx;
namespace fs = std::filesystem;

namespace {

std::string describe(const DerivedText& d)
{
    switch (d.outcome) {
    case DerivedText::Outcome::Malformed: return "<malformed>";
    case DerivedText::Outcome::Absent: return "<absent>";
    case DerivedText::Outcome::Text: return d.text;
    }
    return "?";
}

struct TempFolder {
    fs::path path;
    TempFolder()
    {
        char tmpl[] = "/tmp/kx-bridge-XXXXXX";
        path = ::mkdtemp(tmpl);
    }
    ~TempFolder() { fs::remove_all(path); }
    void write(const std::string& rel, const std::string& content) const
    {
        fs::create_directories((path / rel).parent_path());
        std::ofstream(path / rel, std::ios::binary) << content;
    }
};

} // namespace

TEST(CompactJson, EscapesOnlyQuoteBackslashAndControlCharacters)
{
    Json v = Json::object();
    v["s"] = "q\" b\\ /中文 \b\t\n\f\r \x01\x1f \x7f";
    v["n"] = 7;
    v["a"] = Json::array({true, nullptr, 1.5});
    EXPECT_EQ(compactJson(v), "{\"s\":\"q\\\" b\\\\ /中文 \\b\\t\\n\\f\\r \\u0001\\u001f \x7f\",\"n\":7,\"a\":[true,null,1.5]}");
    EXPECT_EQ(buildErrorBody("2003", "未找到指定的DLL文件"), "{\"ret_code\":\"2003\",\"ret_msg\":\"未找到指定的DLL文件\"}");
}

TEST(CompactJson, RewritesAnObjectResultInOnePass)
{
    const struct {
        const char* in;
        const char* out; // nullptr: refused
    } cases[] = {
        {"{}", "{}"},
        {" {\r\n \"b\" : [ 1 , 2 ] ,\t\"a\" : {\"x\":null} } ", "{\"b\":[1,2],\"a\":{\"x\":null}}"},
        {"{\"n\":[-0,1.50,2e+10,12345678901234567890123]}", "{\"n\":[-0,1.50,2e+10,12345678901234567890123]}"},
        {"{\"s\":\"\\u4e2d\\/\\u0001\\ud83d\\ude00\\\"\\\\ 中\"}", "{\"s\":\"中/\\u0001\U0001F600\\\"\\\\ 中\"}"},
        {"{\"t\":[true,false,null]}", "{\"t\":[true,false,null]}"},
        {"\xEF\xBB\xBF{}", "{}"},
        {"[1,2]", nullptr},
        {"\"s\"", nullptr},
        {"{} {}", nullptr},
        {"{\"a\":1,}", nullptr},
        {"{\"a\":01}", nullptr},
        {"{\"a\":\"x\ty\"}", nullptr},        // raw control character
        {"{\"a\":\"\xFF\"}", nullptr},          // invalid UTF-8
        {"{\"a\":\"\\ud800\"}", nullptr},      // lone surrogate
        {"{\"a\":tru}", nullptr},
        {"{\"a\"", nullptr},
    };
    for (const auto& c : cases) {
        std::string out = "P";
        const bool ok = appendCompactObject(out, c.in);
        EXPECT_EQ(ok, c.out != nullptr) << c.in;
        EXPECT_EQ(out, c.out ? std::string("P") + c.out : "P") << c.in;
        // Whatever strict JSON accepts as an object, the rewrite accepts too.
        auto strict = parseStrictJson(c.in);
        if (ok && strict && strict->is_object()) {
            EXPECT_EQ(*parseStrictJson(out.substr(1)), *strict) << c.in;
        }
    }
}

TEST(Base64Text, DecodesLenientlyAndEncodesOnOneLine)
{
    const struct {
        const char* encoded;
        std::string decoded;
    } decodeCases[] = {
        {"", ""},
        {"YWJj", "abc"},
        {"YWI=", "ab"},
        {"YQ==", "a"},
        {"YW\r\nJ j!", "abc"},       // characters outside the alphabet are skipped
        {"YQ==YWI=", "aab"},         // "=" closes a group; decoding goes on
        {"5Lit5paH", "中文"},
        {"/w==", "\xEF\xBF\xBD"},   // invalid UTF-8 is replaced
        {"YW JjZA==", "abcd"},       // "+" turned into a blank by the query decoding is lost
    };
    for (const auto& c : decodeCases)
        EXPECT_EQ(decodeBase64Text(c.encoded), c.decoded) << c.encoded;

    EXPECT_EQ(encodeBase64Text(""), "");
    EXPECT_EQ(encodeBase64Text("a"), "YQ==");
    EXPECT_EQ(encodeBase64Text("ab"), "YWI=");
    EXPECT_EQ(encodeBase64Text("中文"), "5Lit5paH");
    const std::string longText(200, 'z');
    const std::string encoded = encodeBase64Text(longText);
    EXPECT_EQ(encoded.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(decodeBase64Text(encoded), longText);

    EXPECT_EQ(decodeAgencyParams(encodeBase64Text("a\r\nb\nc\rd\r\n")), "ab\nc\rd");
}

TEST(LenientJson, ReadsWhatAForgivingReaderAccepts)
{
    const struct {
        const char* text;
        const char* written; // nullptr: does not parse
    } cases[] = {
        {"{\"a\":1}", "{\"a\":1}"},
        {" { a : 'x' , } ", "{\"a\":\"x\"}"},
        {"/* c */ [1, 2, // two\n 3,]", "[1,2,3]"},
        {"{\"a\":1,\"a\":2,\"b\":3}", "{\"a\":2,\"b\":3}"},
        {"{\"u\":\"\\u4e2d/\\\"\\\\\"}", "{\"u\":\"中\\/\\\"\\\\\"}"},
        {"{\"c\":\"tab\\tnl\\n\"}", "{\"c\":\"tab\tnl\n\"}"},      // control characters as they are
        {"{\"z\":\"a\\u0000b\"}", "{\"z\":\"a\\u0000b\"}"},
        {"[true,false,null,-1.5e3]", "[true,false,null,-1.5e3]"},
        {"{}", "{}"},
        {"", nullptr},
        {"{\"a\":}", nullptr},
        {"[1 2]", nullptr},
        {"{\"a\":1} x", nullptr},
        {"'open", nullptr},
        {"/* open", nullptr},
    };
    for (const auto& c : cases) {
        auto v = parseLenientJson(c.text);
        if (!c.written) {
            EXPECT_FALSE(v.has_value()) << c.text;
            continue;
        }
        ASSERT_TRUE(v.has_value()) << c.text;
        EXPECT_EQ(writeLenientJson(*v), c.written) << c.text;
    }
    EXPECT_FALSE(parseLenientJson(std::string(100000, '[')).has_value());
}

TEST(ModuleTexts, ConfigDerivation)
{
    const std::string folder = "/opt/kx";
    const std::string made = "{\"appId\":\"7\",\"appFileDir\":\"/opt/kx\"}";
    const struct {
        const char* request;
        std::string expected;
    } cases[] = {
        {"", "<absent>"},
        {" \t\r\n\x01", "<absent>"},
        {"not json", "<malformed>"},
        {"[1]", "<malformed>"},
        {"{}", "<absent>"},
        {"{\"config\":null}", "<absent>"},
        {"{\"config\":{}}", "<absent>"},
        {"{\"config\":[]}", "<malformed>"},
        {"{\"config\":\"x\"}", "<malformed>"},
        {"{\"config\":{\"x\":1}}", "<absent>"},
        {"{\"config\":{\"appId\":\"\"}}", "<absent>"},
        {"{\"config\":{\"appId\":null}}", "<malformed>"},
        {"{\"config\":{\"appId\":{}}}", "<malformed>"},
        {"{\"config\":{\"appId\":7,\"x\":1}}", made},
        {"{\"config\":{\"x\":1,\"appId\":\"7\"}}", made},
        {"{\"config\":{\"appId\":true}}", "{\"appId\":\"true\",\"appFileDir\":\"/opt/kx\"}"},
        {"{\"config\":{\"appId\":\"中\\\"\"}}", "{\"appId\":\"中\\\"\",\"appFileDir\":\"/opt/kx\"}"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(describe(buildModuleConfig(c.request, folder)), c.expected) << c.request;
}

TEST(ModuleTexts, DataDerivationStrictAndLenient)
{
    const struct {
        const char* request;
        const char* strict;
        const char* lenient;
    } cases[] = {
        {"", "<absent>", "<malformed>"},
        {"garbage", "<malformed>", "<absent>"},
        {"{}", "<absent>", "<absent>"},
        {"{\"data\":[]}", "<absent>", "<absent>"},
        {"{\"data\":[{}]}", "<absent>", "{}"},
        {"{\"data\":[{\"a\":1},{\"b\":2}]}", "{\"a\":1}", "{\"a\":1}"},
        {"{\"data\":{\"a\":1}}", "<malformed>", "<absent>"},
        {"{\"data\":null}", "<malformed>", "<absent>"},
        {"{\"data\":[null]}", "<malformed>", "<malformed>"},
        {"{\"data\":[\"abc\"]}", "<malformed>", "abc"},
        {"{\"data\":[5]}", "<malformed>", "5"},
        {"{\"data\":[{\"p\":\"a/b\",\"t\":\"x\\ty\"}]}", "{\"p\":\"a/b\",\"t\":\"x\\ty\"}",
         "{\"p\":\"a\\/b\",\"t\":\"x\ty\"}"},
        {"{data:[{a:'x'}]}", "<malformed>", "{\"a\":\"x\"}"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(describe(extractModuleData(c.request)), c.strict) << c.request;
        EXPECT_EQ(describe(extractModuleDataLenient(c.request)), c.lenient) << c.request;
    }
}

TEST(ScriptReply, PrefixFileAndReplyFrame)
{
    TempFolder t;
    t.write("two.txt", "a\r\nb\n");
    t.write("bom.txt", "\xEF\xBB\xBFx;\ry;");
    t.write("empty.txt", "");
    EXPECT_EQ(readScriptPrefix((t.path / "two.txt").string()), "ab");
    EXPECT_EQ(readScriptPrefix((t.path / "bom.txt").string()), "x;y;");
    EXPECT_EQ(readScriptPrefix((t.path / "empty.txt").string()), "");
    EXPECT_THROW(readScriptPrefix((t.path / "missing.txt").string()), KxError);

    const std::string tail = ";window.parent.postMessage(JSON.stringify(data), \"*\")</script>";
    EXPECT_EQ(buildScriptReply("7", "P", "{\"a\":1}"), "<script>Pvar data={\"id\":\"7\",\"ret\":{\"a\":1}}" + tail);
    EXPECT_EQ(buildScriptReply("", "", " \r\n"), "<script>var data={\"id\":\"\",\"ret\":null}" + tail);
    EXPECT_EQ(buildScriptReply("9", "", "{ \"b\" : [1, 2], \"a\" : \"中\" }"),
              "<script>var data={\"id\":\"9\",\"ret\":{\"b\":[1,2],\"a\":\"中\"}}" + tail);
    for (const char* bad : {"[1,2]", "plain text", "\"s\"", "{\"a\":"})
        EXPECT_THROW(buildScriptReply("1", "", bad), KxError) << bad;

    EXPECT_EQ(TKxRemoteActuator::buildResponse("3", "P", "中"), "<script>Pvar data={\"id\":\"3\",\"ret\":\"5Lit\"}" + tail);
    EXPECT_EQ(TKxRemoteActuator::buildResponse("3", "", ""), "<script>var data={\"id\":\"3\",\"ret\":\"\"}" + tail);
}

TEST(AgencyFlag, ReadsTheConfigMember)
{
    const struct {
        const char* document;
        int expected; // 1 set, 0 not set, -1 raises
    } cases[] = {
        {"", 0},
        {"  ", 0},
        {"{}", 0},
        {"{\"config\":null}", 0},
        {"{\"config\":{}}", 0},
        {"{\"config\":{\"agency3intfc\":true}}", 1},
        {"{\"config\":{\"agency3intfc\":false}}", 0},
        {"{\"config\":{\"agency3intfc\":2}}", 1},
        {"{\"config\":{\"agency3intfc\":0}}", 0},
        {"{\"config\":{\"agency3intfc\":\"true\"}}", 1},
        {"{\"config\":{\"agency3intfc\":\"TRUE\"}}", 0},
        {"{\"config\":{\"agency3intfc\":null}}", -1},
        {"{\"config\":{\"agency3intfc\":[]}}", -1},
        {"{\"config\":{\"agency3intfc\":{}}}", -1},
        {"{\"config\":5}", -1},
        {"[]", -1},
        {"eyJ9", -1},
    };
    for (const auto& c : cases) {
        if (c.expected < 0)
            EXPECT_THROW(readAgencyFlag(c.document), KxError) << c.document;
        else
            EXPECT_EQ(readAgencyFlag(c.document), c.expected == 1) << c.document;
    }
}

TEST(SigningRequest, IndentedWithTabs)
{
    EXPECT_EQ(buildSigningRequest("中文 \"q\""), "{\n\t\"signText\": \"中文 \\\"q\\\"\",\n\t\"provider\": \"jit\"\n}");
    EXPECT_EQ(buildSigningRequest(""), "{\n\t\"signText\": \"\",\n\t\"provider\": \"jit\"\n}");
}

TEST(PreviewImage, OnlyFilesDirectlyInsideThePreviewFolder)
{
    TempFolder t;
    t.write("data/img/preview/a b.png", "png");
    t.write("data/img/preview/sub/inner.png", "png");
    t.write("secret.txt", "secret");
    fs::create_symlink(t.path / "secret.txt", t.path / "data/img/preview/link.png");
    const std::string folder = t.path.string();
    EXPECT_EQ(previewFilePath(folder, "a b.png"), folder + "/data/img/preview/a b.png");
    for (const char* refused : {"", ".", "..", "sub", "sub/inner.png", "../../../secret.txt", "..\\..\\..\\secret.txt",
                                "missing.png", "link.png", "a b.png\r\nX: y"})
        EXPECT_FALSE(previewFilePath(folder, refused).has_value()) << refused;
}
