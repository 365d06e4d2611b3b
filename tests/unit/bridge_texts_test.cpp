// The texts of the module bridge: compact JSON, Base64, the lenient reader and writer, the module
// config and data derivations, script replies, the agency flag, the signing request, preview names.
#include "bridge/Base64Text.h"
#include "bridge/BusinessEndpoint.h"
#include "bridge/CompactJson.h"
#include "bridge/KxRemoteActuator.h"
#include "bridge/JsonScan.h"
#include "bridge/LenientJson.h"
#include "bridge/ModuleTexts.h"
#include "bridge/PreviewImage.h"
#include "bridge/ScriptReply.h"
#include "bridge/Sign.h"
#include "common/Errors.h"
#include "common/JsonpCallback.h"
#include "common/TextCodec.h"
#include "http/Dispatcher.h"

#include "../common/TempPath.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

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
        path = kx::test::makeTempFolder("kx-bridge-");
    }
    ~TempFolder() { fs::remove_all(path); }
    void write(const std::string& rel, const std::string& content) const
    {
        fs::create_directories((path / rel).parent_path());
        std::ofstream(path / rel, std::ios::binary) << content;
    }
};

// Arrays or objects nested `depth` deep around 1: [[1]] or {"k":{"k":1}}.
std::string nested(int depth, bool objects)
{
    std::string text;
    text.reserve(static_cast<std::size_t>(depth) * 6 + 1);
    for (int i = 0; i < depth; ++i)
        text += objects ? "{\"k\":" : "[";
    text += "1";
    for (int i = 0; i < depth; ++i)
        text += objects ? '}' : ']';
    return text;
}

// A module result held in a buffer the way a C-form call leaves it.
ModuleResult buffered(const std::u16string& units)
{
    auto owner = std::make_shared<std::u16string>(units);
    return ModuleResult(owner, std::u16string_view(*owner));
}

// The body a response carries, produced in full when it is streamed.
std::string bodyOf(const http::HttpResponse& r)
{
    if (!r.streamedBody)
        return r.body;
    std::string out;
    EXPECT_TRUE(r.streamedBody->produce([&](std::string_view piece) {
        EXPECT_LE(piece.size(), kJsonPieceBytes);
        out.append(piece);
        return true;
    }));
    EXPECT_EQ(out.size(), r.streamedBody->size);
    return out;
}

// The data object of a script reply, between "var data=" and the closing call.
std::string dataObjectOf(const std::string& reply)
{
    const auto from = reply.find("var data=");
    const auto to = reply.rfind(";window.parent.postMessage(");
    if (from == std::string::npos || to == std::string::npos)
        return {};
    return reply.substr(from + 9, to - from - 9);
}

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

TEST(CompactJson, NestingDeeperThan512IsRefusedByEveryReader)
{
    // 512 levels are accepted everywhere; 513 and a hostile 50,000 are refused like malformed
    // text, without running out of stack.
    for (bool objects : {false, true}) {
        for (int depth : {512, 513, 50000}) {
            const bool ok = depth <= kMaxJsonDepth;
            const std::string text = nested(depth, objects);
            const std::string object = "{\"a\":" + nested(depth - 1, objects) + "}";
            const std::string label = std::to_string(depth) + (objects ? " objects" : " arrays");
            EXPECT_EQ(parseStrictJson(text).has_value(), ok) << label;
            EXPECT_EQ(parseLenientJson(text).has_value(), ok) << label;
            std::string out;
            EXPECT_EQ(appendCompactObject(out, object), ok) << label;
            EXPECT_EQ(appendCompactObject(out, utf8ToUtf16(object), JsonEscaping::Script), ok) << label;
            EXPECT_EQ(compactObjectSize(utf8ToUtf16(object), JsonEscaping::Script).has_value(), ok) << label;
            if (ok) {
                EXPECT_EQ(out, object + object) << label;
            }

            // The request document's derivations: the whole document is 'depth' deep.
            const std::string document = "{\"data\":[" + nested(depth - 2, objects) + "]}";
            const DerivedText config = buildModuleConfig(document, "/opt/kx");
            EXPECT_EQ(config.malformed(), !ok) << label;
            if (objects) {
                const DerivedText data = extractModuleData(document);
                EXPECT_EQ(data.malformed(), !ok) << label;
                if (ok) {
                    EXPECT_EQ(data.text, nested(depth - 2, true)) << label;
                }
            }
            EXPECT_EQ(extractModuleDataLenient(document).outcome,
                      ok ? DerivedText::Outcome::Text : DerivedText::Outcome::Absent)
                << label;
            if (ok)
                EXPECT_NO_THROW(readAgencyFlag(document)) << label;
            else
                EXPECT_THROW(readAgencyFlag(document), KxError) << label;
        }
    }
    // Brackets inside strings do not count.
    const std::string deepText = "{\"s\":\"" + std::string(2000, '[') + "\\\"" + std::string(2000, '{') + "\"}";
    EXPECT_TRUE(parseStrictJson(deepText).has_value());
    std::string out;
    EXPECT_TRUE(appendCompactObject(out, deepText));
}

TEST(CompactJson, NumbersBeyondTheRangeOfADoubleAreRefusedByEveryReader)
{
    // Accepted numbers are kept as written; those beyond ±1.7976931348623157e308 are refused by
    // the strict reader, so every other reader refuses them too (a page would read Infinity and
    // pass on null). Numbers too small for a double are read as zero: no fault.
    const std::string hundredsOfDigits = "1" + std::string(400, '0');
    const struct {
        std::string number;
        bool ok;
    } cases[] = {
        {"4e444", false},
        {"-1e309", false},
        {"1.8e308", false},
        {"0.0001e313", false},
        {"0.00001e313", true},
        {hundredsOfDigits, false},
        {"-" + hundredsOfDigits + ".5", false},
        {"1.7976931348623157e308", true},
        {"0.001e311", true},
        {"1e-400", true},
        {"-2.5E-330", true},
        {"0e99999", true},
        {std::string(299, '9'), true},
        {"123.456e2", true},
    };
    for (const auto& c : cases) {
        const std::string object = "{\"\":" + c.number + "}";
        SCOPED_TRACE(c.number.substr(0, 40));
        EXPECT_EQ(parseStrictJson(object).has_value(), c.ok);
        EXPECT_EQ(parseLenientJson(object).has_value(), c.ok);
        std::string out;
        EXPECT_EQ(appendCompactObject(out, object), c.ok);
        EXPECT_EQ(appendCompactObject(out, utf8ToUtf16(object), JsonEscaping::Script), c.ok);
        if (c.ok) {
            EXPECT_EQ(out, object + object);
        }
    }
}

TEST(CompactJson, Utf16AndPiecewiseRewritesMatchTheUtf8Rewrite)
{
    const std::u16string cases[] = {
        u"{}",
        u"\xFEFF { \"a\" : [1, -2.5e3, true, null], \"中\":\"\\u4e2d\\/\\n\" }",
        u"{\"pair\":\"\U0001F600\",\"lone\":\"a" + std::u16string(1, char16_t(0xD800)) + u"b" +
            std::u16string(1, char16_t(0xDC00)) + u"c\"}", // unpaired surrogates: U+FFFD
        u"{\"html\":\"</script><b>&amp;\\u003c\u2028\u2029\"}",
        u"{\"big\":\"" + std::u16string(600000, u'x') + u"\",\"tail\":\"é<\"}",
        u"[1]",
        u"{\"a\":1,}",
        u"{\"a\":\"\x01\"}",
    };
    for (const auto& units : cases) {
        const std::string utf8 = utf16ToUtf8(units);
        for (JsonEscaping escaping : {JsonEscaping::Plain, JsonEscaping::Script}) {
            std::string fromUtf8;
            const bool ok = appendCompactObject(fromUtf8, utf8, escaping);
            std::string fromUtf16;
            EXPECT_EQ(appendCompactObject(fromUtf16, units, escaping), ok) << utf8.substr(0, 80);
            EXPECT_EQ(fromUtf16, fromUtf8) << utf8.substr(0, 80);
            const auto size = compactObjectSize(units, escaping);
            EXPECT_EQ(size.has_value(), ok);
            if (!ok)
                continue;
            EXPECT_EQ(*size, fromUtf8.size());
            std::string pieces;
            std::size_t count = 0;
            EXPECT_TRUE(writeCompactObject(units, escaping, [&](std::string_view piece) {
                EXPECT_LE(piece.size(), kJsonPieceBytes);
                ++count;
                pieces.append(piece);
                return true;
            }));
            EXPECT_EQ(pieces, fromUtf8);
            EXPECT_EQ(count, (fromUtf8.size() + kJsonPieceBytes - 1) / kJsonPieceBytes);
        }
    }
    // A writer that gives up stops the rewrite.
    const std::u16string big = u"{\"big\":\"" + std::u16string(600000, u'x') + u"\"}";
    int calls = 0;
    EXPECT_FALSE(writeCompactObject(big, JsonEscaping::Plain, [&](std::string_view) { return ++calls < 2; }));
    EXPECT_EQ(calls, 2);
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
    // Read again after other files, and after a change.
    EXPECT_EQ(readScriptPrefix((t.path / "two.txt").string()), "ab");
    t.write("two.txt", "c\nd");
    EXPECT_EQ(readScriptPrefix((t.path / "two.txt").string()), "cd");
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

TEST(ScriptReply, NothingSentBackBecomesMarkup)
{
    // Texts that would end the script element, open markup or end a script line, in the id, in
    // a module's result given as it is, and in one given with escapes.
    const std::string hostile[] = {
        "</script><script>alert(1)</script>",
        "<!--<script>",
        "a&b>c",
        "line\u2028sep\u2029arator",
        "</SCRIPT >",
        "中文</script>",
    };
    for (const std::string& text : hostile) {
        Json ret = Json::object();
        ret["s"] = text;
        ret["n"] = Json::array({text, 1});
        // The module wrote the characters themselves, and once as JSON escapes (\u003c, \/).
        std::string escapedForm = "{\"s\":\"";
        for (unsigned char c : text) {
            if (c == '<')
                escapedForm += "\\u003c";
            else if (c == '/')
                escapedForm += "\\/";
            else
                escapedForm += static_cast<char>(c);
        }
        escapedForm += "\"}";
        for (const std::string& result : {compactJson(ret), escapedForm}) {
            const std::string reply = buildScriptReply(text, "P", result);
            const std::string data = dataObjectOf(reply);
            ASSERT_FALSE(data.empty()) << reply;
            for (const char* raw : {"<", ">", "&", "\u2028", "\u2029"})
                EXPECT_EQ(data.find(raw), std::string::npos) << raw << " in " << data;
            // Exactly one script element: the reply's own.
            EXPECT_EQ(reply.find("</script>"), reply.size() - 9) << reply;
            auto parsed = parseStrictJson(data);
            ASSERT_TRUE(parsed.has_value()) << data;
            EXPECT_EQ((*parsed)["id"], text);
            EXPECT_EQ((*parsed)["ret"], *parseStrictJson(result));

            // The same from a module's buffer, streamed in pieces.
            const std::u16string units = utf8ToUtf16(result + std::string(70000, ' '));
            http::HttpResponse streamed;
            setScriptReply(streamed, text, "P", buffered(units));
            EXPECT_TRUE(streamed.streamedBody.has_value());
            EXPECT_EQ(bodyOf(streamed), reply);
        }
    }
    const std::string actuator = TKxRemoteActuator::buildResponse("</script>&\u2028", "", "x");
    EXPECT_EQ(parseStrictJson(dataObjectOf(actuator)).value()["id"], "</script>&\u2028");
    EXPECT_EQ(actuator.find("</script>"), actuator.size() - 9);
}

TEST(ScriptReply, LargeResultsAreStreamedFromTheBufferByteForByte)
{
    const std::u16string big = u"{ \"blob\" : \"" + std::u16string(300000, u'x') + u"中\U0001F600\" }";
    const std::string utf8 = utf16ToUtf8(big);
    const struct {
        ModuleResult result;
        bool streamed;    // as a script reply
        bool rawStreamed; // as a raw reply
    } cases[] = {
        {buffered(big), true, true},
        {buffered(u"{\"a\":1}"), false, false},
        {ModuleResult(utf8), false, false},
        {buffered(std::u16string(100000, u' ')), false, true}, // blank: "ret":null
        {buffered(u"\xD83D" + std::u16string(100000, u'\xDE00') + u"\xD83D\xDE00é中"), false, true},
    };
    for (const auto& c : cases) {
        if (c.result.toUtf8().starts_with("{") || c.result.blank()) {
            const std::string expected = buildScriptReply("7", "P", c.result.toUtf8());
            http::HttpResponse r;
            setScriptReply(r, "7", "P", c.result);
            EXPECT_EQ(r.streamedBody.has_value(), c.streamed);
            EXPECT_EQ(bodyOf(r), expected);
        }

        http::HttpResponse raw;
        setRawReply(raw, c.result);
        EXPECT_EQ(raw.streamedBody.has_value(), c.rawStreamed);
        EXPECT_EQ(bodyOf(raw), c.result.toUtf8());
    }
    // A large result that is no JSON object fails before anything is sent.
    for (const std::u16string& bad : {u"[" + std::u16string(100000, u'1') + u"]", u"{" + std::u16string(100000, u'x')}) {
        http::HttpResponse r;
        EXPECT_THROW(setScriptReply(r, "1", "", buffered(bad)), KxError);
        EXPECT_FALSE(r.bodySet);
    }

    // The HTTP layer announces the exact size and writes the pieces after the head.
    http::HttpResponse r;
    setScriptReply(r, "7", "P", buffered(big));
    r.contentType = "text/html; charset=UTF-8";
    const http::ReplyHead head = http::buildReply(r, "GET", true, 0);
    EXPECT_NE(head.head.find("Content-Length: " + std::to_string(buildScriptReply("7", "P", utf8).size()) + "\r\n"),
              std::string::npos);
    EXPECT_TRUE(head.body.empty());
    std::string sent;
    EXPECT_TRUE(http::writeStreamedBody(head, [&](std::string_view piece) {
        sent.append(piece);
        return true;
    }));
    EXPECT_EQ(sent, buildScriptReply("7", "P", utf8));
    EXPECT_FALSE(http::writeStreamedBody(head, [](std::string_view) { return false; }));
    EXPECT_FALSE(http::buildReply(r, "HEAD", true, 0).streamed.produce);
    // A producer that delivers fewer bytes than announced is caught.
    http::HttpResponse shortBody;
    shortBody.setStreamedBody(10, [](const http::BodyWriter& write) { return write("12345"); });
    shortBody.contentType = "text/html; charset=UTF-8";
    EXPECT_FALSE(http::writeStreamedBody(http::buildReply(shortBody, "GET", true, 0), [](std::string_view) { return true; }));
}

TEST(JsonpCallback, OnlyIdentifierPathsAreEchoed)
{
    const std::string longest = "a" + std::string(127, 'b');
    const struct {
        std::string name;
        bool accepted;
    } cases[] = {
        {"cb", true},
        {"callback123", true},
        {"jQuery3210_1700000000000", true},
        {"$", true},
        {"_a.$b.c9", true},
        {"window.parent.cb", true},
        {longest, true},
        {longest + "c", false},
        {"", false},
        {"1cb", false},
        {"a.1b", false},
        {"a..b", false},
        {".a", false},
        {"a.", false},
        {"<script>alert(1)</script>", false},
        {"alert(1);cb", false},
        {"a b", false},
        {"a-b", false},
        {"a[0]", false},
        {"中文", false},
        {"cb\u2028", false},
        {std::string("cb\0", 3), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isJsonpCallbackName(c.name), c.accepted) << c.name;
        EXPECT_EQ(jsonpCallback(c.name), c.accepted ? c.name : "") << c.name;
    }
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

// One reading of a document gives what each single reader gives: the config text, the data text
// in both forms and the agency flag, whose error is raised only when the flag is asked for.
TEST(RequestDocument, OneReadingAgreesWithEachReader)
{
    const std::string folder = "/opt/kx";
    const std::vector<std::string> documents = {
        "",
        "  ",
        "eyJ9",
        "[]",
        "{}",
        "{\"config\":5,\"data\":[{\"a\":1}]}",
        "{\"config\":{\"appId\":\"x\",\"agency3intfc\":true},\"data\":[{\"a\":1}]}",
        "{\"config\":{\"appId\":7,\"agency3intfc\":[]},\"data\":[\"text\"]}",
        "{\"config\":{\"appId\":null},\"data\":{}}",
        "{\"config\":null,\"data\":[{}]}",
        "{data:[{a:1}]}",
    };
    for (const std::string& d : documents) {
        const RequestDocument strict(d, folder, DataForm::Strict);
        const RequestDocument lenient(d, folder, DataForm::Lenient);
        EXPECT_EQ(describe(strict.config()), describe(buildModuleConfig(d, folder))) << d;
        EXPECT_EQ(describe(lenient.config()), describe(buildModuleConfig(d, folder))) << d;
        EXPECT_EQ(describe(strict.data()), describe(extractModuleData(d))) << d;
        EXPECT_EQ(describe(lenient.data()), describe(extractModuleDataLenient(d))) << d;
        bool thrown = false;
        bool flag = false;
        std::string errorClass;
        try {
            flag = readAgencyFlag(d);
        } catch (const KxError& e) {
            thrown = true;
            errorClass = e.errorClass();
        }
        if (thrown) {
            try {
                (void)strict.agencyFlag();
                ADD_FAILURE() << "no error for " << d;
            } catch (const KxError& e) {
                EXPECT_EQ(e.errorClass(), errorClass) << d;
            }
        } else {
            EXPECT_EQ(strict.agencyFlag(), flag) << d;
        }
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
