// Pages reaching module libraries through the real client: the business endpoints, the agency
// actuator, signing and preview, over HTTP on loopback, with C-form, Pascal runtime-form and
// agency-form test libraries in a temporary program folder.
#include "Harness.h"

#include "bridge/Base64Text.h"
#include "bridge/CompactJson.h"
#include "common/TextCodec.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace kx;
using namespace kx::test;

namespace {

const std::string kDefault200 = "<HTML><BODY><B>200 OK</B></BODY></HTML>";
const std::string kHtml = "text/html; charset=UTF-8";

std::string urlEncode(const std::string& text)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string payload(const std::string& document) { return urlEncode(encodeBase64Text(document)); }

std::string script(const std::string& prefix, const std::string& id, const std::string& retJson)
{
    return "<script>" + prefix + "var data={\"id\":\"" + id + "\",\"ret\":" + retJson +
           "};window.parent.postMessage(JSON.stringify(data), \"*\")</script>";
}

std::string echoJson(const std::string& data, const std::string& config)
{
    Json j = Json::object();
    j["data"] = data;
    j["config"] = config;
    return compactJson(j);
}

// One running client for the whole suite.
class Bridge : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        folder = new ProgramFolder();
        folder->installModule("libc_module.so", "comp/c/libc_module.so");
        folder->installModule("libruntime_module.so", "comp/pas/libruntime_module.so");
        folder->installModule("libagency_module.so", "comp/agency/libagency_module.so");
        folder->writeFile("conf/dll.ini",
                          "[MODULE-DLLPATH]\r\n"
                          "print=comp\\c\\libc_module.so\r\n"
                          "upload=comp\\missing\\libnothing.so\r\n"
                          "ca=comp\\c\\libc_module.so\r\n"
                          "pos=comp\\pas\\libruntime_module.so\r\n"
                          "pd=comp\\pas\\libruntime_module.so\r\n"
                          "camera=comp\\c\\libc_module.so\r\n"
                          "smart-card=comp\\c\\libc_module.so\r\n"
                          "NontaxAgencyActuator=comp\\agency\\libagency_module.so\r\n"
                          "[MODULE-LANG]\r\nprint=c\r\nca=c\r\ncamera=c\r\nsmart-card=c\r\npd=C\r\n");
        folder->writeFile("data/text/json2.txt", "a\r\nb\r\n");
        folder->writeFile("data/img/preview/a b.png", std::string("\x89PNG\r\n\x1a\n\0body", 13));
        folder->writeFile("data/img/preview/notes.txt", "plain");
        folder->writeFile("secret.txt", "secret");
        ASSERT_TRUE(folder->start()) << folder->output();
    }
    static void TearDownTestSuite()
    {
        delete folder;
        folder = nullptr;
    }

    static HttpReply GET(const std::string& target) { return get(folder->port(), target); }
    static std::string configText() { return "{\"appId\":\"7\",\"appFileDir\":\"" + folder->path() + "\"}"; }

    static inline ProgramFolder* folder = nullptr;
};

} // namespace

TEST_F(Bridge, ErrorBodiesByteForByte)
{
    const struct {
        std::string target;
        std::string ret;
    } cases[] = {
        {"/print?id=9&func=echo&payload=" + payload("[1]"),
         R"({"ret_code":"2001","ret_msg":"config数据异常，不符合json格式"})"},
        {"/print?id=9&func=echo&payload=" + payload(R"({"data":{"a":1}})"),
         R"({"ret_code":"2001","ret_msg":"data数据异常，不符合json格式"})"},
        {"/upload?id=9&func=echo", R"({"ret_code":"2003","ret_msg":"未找到指定的DLL文件"})"},
        {"/print?id=9&func=notExported", R"({"ret_code":"2002","ret_msg":"在DLL中未找到指定的方法"})"},
        {"/print?id=9&func=", R"({"ret_code":"2002","ret_msg":"在DLL中未找到指定的方法"})"},
        {"/pos?id=9&func=EchoUtf8", R"({"ret_code":"2004","ret_msg":"config参数为空"})"},
        {"/print?id=9&func=crash", R"x({"ret_code":"2001","ret_msg":"捕获到异常：Access violation at address 0x0 (SIGSEGV)"})x"},
        {"/print?id=9&func=fail", R"({"ret_code":"2001","ret_msg":"捕获到异常：模块内部错误 disk full"})"},
    };
    for (const auto& c : cases) {
        HttpReply r = GET(c.target);
        EXPECT_EQ(r.status, 200) << c.target;
        EXPECT_EQ(r.header("Content-Type"), kHtml);
        EXPECT_EQ(r.body, script("ab", "9", c.ret)) << c.target;
    }
    // The library that faulted stays loaded and keeps answering.
    EXPECT_EQ(GET("/print?id=1&func=answer").body, script("ab", "1", R"({"a":1})"));
}

TEST_F(Bridge, WhatTheModuleReceivesAndAnswers)
{
    const struct {
        std::string query;
        std::string ret;
    } cases[] = {
        {"/print?id=1&func=echo", echoJson("{}", "{}")},
        {"/print?id=1&func=echo&payload=" + payload(R"({"data":[]})"), echoJson("{}", "{}")},
        {"/print?id=1&func=echo&payload=" + payload(R"({"data":[{}]})"), echoJson("{}", "{}")},
        {"/print?id=1&func=echo&payload=" + payload(R"({"data":[{"a":1},{"b":2}],"config":{"appId":7,"x":1}})"),
         echoJson(R"({"a":1})", configText())},
        {"/print?id=1&func=echo&payload=" + payload(R"({"data":[{"名":"中文"}],"config":{"appId":""}})"),
         echoJson(R"({"名":"中文"})", "{}")},
        {"/pd?id=1&func=EchoUtf16&payload=" + payload(R"({"data":[{"k":"v"}],"config":{"appId":"7"}})"),
         R"({"data":{"k":"v"},"config":)" + configText() + "}"}, // "C" is the runtime form
        {"/pos?id=1&func=Chinese&payload=" + payload(R"({"config":{"appId":"7"}})"), R"({"text":"中文打印完成","length":2})"},
        {"/print?id=1&func=fill", "null"},    // no NUL in the buffer
        {"/print?id=1&func=nothing", "null"},
        {"/print?id=1&func=failOddly", "null"}, // escaped failure
        {"/camera?id=1&func=echo&payload=" + payload(R"({"data":["abc"]})"), echoJson("abc", "{}")},
        {"/camera?id=1&func=echo&payload=" + payload(R"({"data":{"a":1}})"), echoJson("{}", "{}")},
        {"/camera?id=1&func=echo", R"({"ret_code":"2001","ret_msg":"data数据异常，不符合json格式"})"},
        {"/smart-card?id=1&func=echo&payload=" + payload(R"({data:[{p:'a/b'}]})"), ""},
    };
    for (const auto& c : cases) {
        HttpReply r = GET(c.query);
        if (c.ret.empty()) {
            EXPECT_EQ(r.status, 500) << c.query; // a lenient document is no JSON for the agency check
            continue;
        }
        EXPECT_EQ(r.body, script("ab", "1", c.ret)) << c.query;
    }
    // No "id": an empty one. GET and POST alike.
    EXPECT_EQ(GET("/print?func=answer").body, script("ab", "", R"({"a":1})"));
    EXPECT_EQ(postForm(folder->port(), "/print", "id=4&func=answer").body, script("ab", "4", R"({"a":1})"));
}

TEST_F(Bridge, FailuresThatAnswer500)
{
    for (const std::string& target : std::vector<std::string>{
             "/print?func=array", "/print?func=plain",
             "/ca?func=answer&payload=" + payload("[1]"),
             "/ca?func=answer&payload=" + payload(R"({"config":5})"),
             "/ca?func=answer&payload=" + payload(R"({"config":{"agency3intfc":null}})"),
             "/ca?func=answer&isDoubleBase=1&payload=" + payload(R"({"config":{"appId":"1"}})"),
             "/smart-card?func=answer&payload=" + payload(R"({"config":{"agency3intfc":[]}})"),
         }) {
        HttpReply r = GET(target);
        EXPECT_EQ(r.status, 500) << target;
        EXPECT_NE(r.body.find("500 Internal Error"), std::string::npos) << target;
    }
    // Without json2.txt every script endpoint fails, also where the raw reply would not need it.
    folder->writeFile("data/text/json2.txt", "");
    EXPECT_EQ(GET("/print?id=2&func=answer").body, script("", "2", R"({"a":1})"));
    std::filesystem::remove(folder->file("data/text/json2.txt"));
    EXPECT_EQ(GET("/print?func=answer").status, 500);
    EXPECT_EQ(GET("/ca?func=answer&payload=" + payload(R"({"config":{"agency3intfc":true}})")).status, 500);
    EXPECT_EQ(GET("/NontaxAgencyActuator?Method=echoParams&Params=YQ%3D%3D&agency3intfc=agency3intfc").status, 500);
    folder->writeFile("data/text/json2.txt", "a\r\nb\r\n");
}

TEST_F(Bridge, RawRepliesAndDoubleBase)
{
    const std::string agency = R"({"config":{"agency3intfc":true,"appId":"5"},"data":[{"q":1}]})";
    HttpReply raw = GET("/ca?id=3&func=echo&payload=" + payload(agency));
    EXPECT_EQ(raw.body, echoJson(R"({"q":1})", "{\"appId\":\"5\",\"appFileDir\":\"" + folder->path() + "\"}"));
    EXPECT_EQ(raw.header("Content-Type"), kHtml);
    // A module's bytes are sent as they are, but a browser runs them in an opaque origin: script
    // in them never acts as the service's own page. Script replies are the service's own text.
    const struct {
        std::string query;
        bool sandboxed;
    } sandboxCases[] = {
        {"/ca?id=3&func=echo&payload=" + payload(agency), true},
        {"/smart-card?id=3&func=answer&payload=" + payload(R"({"config":{"agency3intfc":1}})"), true},
        {"/smart-card?id=3&func=nothing&payload=" + payload(R"({"config":{"agency3intfc":1}})"), true},
        {"/ca?id=3&func=answer&payload=" + payload(R"({"config":{"agency3intfc":"TRUE"}})"), false},
    };
    for (const auto& c : sandboxCases) {
        const HttpReply r = GET(c.query);
        EXPECT_EQ(r.status, 200) << c.query;
        EXPECT_EQ(r.header("Content-Type"), kHtml) << c.query;
        EXPECT_EQ(r.header("Content-Security-Policy"), c.sandboxed ? "sandbox allow-scripts allow-forms" : "")
            << c.query;
        EXPECT_EQ(r.header("X-Content-Type-Options"), c.sandboxed ? "nosniff" : "") << c.query;
    }
    EXPECT_EQ(GET("/ca?id=3&func=notThere&payload=" + payload(agency)).body,
              R"({"ret_code":"2002","ret_msg":"在DLL中未找到指定的方法"})");
    EXPECT_EQ(GET("/ca?id=3&func=answer&payload=" + payload(R"({"config":{"agency3intfc":"TRUE"}})")).body,
              script("ab", "3", R"({"a":1})"));
    EXPECT_EQ(GET("/ca?id=3&func=answer&isDoubleBase=yes&payload=" + payload(encodeBase64Text(agency))).body,
              R"({"a":1})");
    EXPECT_EQ(GET("/smart-card?id=3&func=answer&payload=" + payload(R"({"config":{"agency3intfc":1}})")).body,
              R"({"a":1})");
    EXPECT_EQ(GET("/smart-card?id=3&func=nothing&payload=" + payload(R"({"config":{"agency3intfc":1}})")).body, "");
    // A "+" sent unencoded arrives as a blank and is lost before decoding.
    const std::string b64 = encodeBase64Text(R"({"data":[{"k":"~~~>"}]})");
    ASSERT_NE(b64.find('+'), std::string::npos);
    EXPECT_NE(GET("/print?id=1&func=echo&payload=" + b64).body, script("ab", "1", echoJson(R"({"k":"~~~>"})", "{}")));
    EXPECT_EQ(GET("/print?id=1&func=echo&payload=" + urlEncode(b64)).body,
              script("ab", "1", R"({"data":"{\"k\":\"~~~\u003e\"}","config":"{}"})"));
}

TEST_F(Bridge, AgencyActuator)
{
    auto params = [](const std::string& text) { return urlEncode(encodeBase64Text(text)); };
    const std::string longText = "非税代理接口返回的结果文本：缴款成功，票据号码 0123456789，金额 100.00 元。";
    const struct {
        std::string query;
        std::string result; // the library's result the page should receive
    } cases[] = {
        {"Method=echoParams&Params=" + params("a\r\nb\nc\rd"), "ab\nc\rd"},
        {"Method=echoParams&Params=" + params("中文参数"), "中文参数"},
        {"Method=longAnswer&Params=" + params("x"), longText},
        {"Method=echoParams", ""},
        {"Method=notExported&Params=" + params("x"), ""},
        {"Method=crash&Params=" + params("x"), ""},
    };
    for (const auto& c : cases) {
        HttpReply script = GET("/NontaxAgencyActuator?id=8&" + c.query);
        EXPECT_EQ(script.body, "<script>abvar data={\"id\":\"8\",\"ret\":\"" + encodeBase64Text(c.result) +
                                   "\"};window.parent.postMessage(JSON.stringify(data), \"*\")</script>")
            << c.query;
        EXPECT_EQ(script.header("Content-Type"), kHtml);
        EXPECT_EQ(GET("/NontaxAgencyActuator?agency3intfc=agency3intfc&" + c.query).body, encodeBase64Text(c.result));
        EXPECT_EQ(GET("/NontaxAgencyActuator?agency3intfc=AGENCY3INTFC&id=8&" + c.query).body, script.body);
    }
    EXPECT_GT(encodeBase64Text(longText).size(), 76u);
}

TEST_F(Bridge, Preview)
{
    HttpReply r = GET("/preview?fn=a%20b.png");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.header("Content-Type"), "image/png; charset=UTF-8");
    EXPECT_EQ(r.header("Content-Disposition"), "attachment; filename=a b.png");
    EXPECT_EQ(r.header("Content-Length"), "13");
    EXPECT_EQ(r.body, std::string("\x89PNG\r\n\x1a\n\0body", 13));
    EXPECT_EQ(postForm(folder->port(), "/preview", "fn=notes.txt").body, "plain");
    EXPECT_EQ(GET("/preview?fn=notes.txt").header("Content-Type"), "image/png; charset=UTF-8");
    for (const char* target : {"/preview", "/preview?fn=missing.png", "/preview?fn=../../secret.txt",
                               "/preview?fn=..%2F..%2F..%2Fsecret.txt", "/preview?fn=..", "/preview?fn=%2Fetc%2Fpasswd"}) {
        HttpReply d = GET(target);
        EXPECT_EQ(d.status, 200) << target;
        EXPECT_EQ(d.body, kDefault200) << target;
        EXPECT_EQ(d.header("Content-Disposition"), "") << target;
    }
    HttpReply put = rawRequest(folder->port(), "PUT /preview?fn=notes.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(put.body, "plain");
}

TEST_F(Bridge, ParallelCallsAndAFaultAmongThem)
{
    // A tag without digits (the slow module takes every digit in its data as the wait).
    auto tag = [](int i) { return std::string{char('a' + i / 16), char('a' + i % 16)}; };
    constexpr int kCalls = 32;
    std::vector<HttpReply> replies(kCalls);
    std::vector<std::thread> threads;
    for (int i = 0; i < kCalls; ++i)
        threads.emplace_back([i, &replies, &tag] {
            const std::string func = i == 7 ? "crash" : "slow";
            const std::string data = R"({"data":[{"ms":"400","tag":")" + tag(i) + R"("}]})";
            replies[i] = get(folder->port(), "/print?id=" + std::to_string(i) + "&func=" + func + "&payload=" + payload(data));
        });
    for (auto& t : threads)
        t.join();
    for (int i = 0; i < kCalls; ++i) {
        if (i == 7) {
            EXPECT_NE(replies[i].body.find("SIGSEGV"), std::string::npos) << replies[i].body;
            continue;
        }
        const std::string data = R"({"ms":"400","tag":")" + tag(i) + R"("})";
        EXPECT_EQ(replies[i].body, script("ab", std::to_string(i), echoJson(data, "{}"))) << i;
    }
    EXPECT_EQ(GET("/heart?jsonp=cb").body, "cb(0)");
}

namespace {

// {"data":[{"a":...}]} nested `depth` levels in all, with arrays or objects inside.
std::string nestedDocument(int depth, bool objects)
{
    std::string text = R"({"data":[{"a":)";
    for (int i = 0; i < depth - 3; ++i)
        text += objects ? "{\"k\":" : "[";
    text += "1";
    text += std::string(depth - 3, objects ? '}' : ']');
    return text + "}]}";
}

// The data object of a script reply, between "var data=" and the closing call.
std::string dataObjectOf(const std::string& reply)
{
    const auto from = reply.find("var data=");
    const auto to = reply.rfind(";window.parent.postMessage(");
    if (from == std::string::npos || to == std::string::npos || to < from)
        return {};
    return reply.substr(from + 9, to - from - 9);
}

} // namespace

TEST_F(Bridge, DeeplyNestedDocumentsAreRefusedLikeMalformedOnes)
{
    const std::string configError = R"({"ret_code":"2001","ret_msg":"config数据异常，不符合json格式"})";
    const struct {
        const char* path;
        bool answers500; // the endpoints that read the agency flag refuse a malformed document so
    } endpoints[] = {
        {"/print", false}, {"/upload", false}, {"/pos", false}, {"/pd", false},
        {"/camera", false}, {"/ca", true},     {"/smart-card", true},
    };
    for (const auto& e : endpoints) {
        for (bool objects : {false, true}) {
            for (bool post : {false, true}) {
                for (int depth : {50000, 513, 512}) {
                    const std::string params = "id=5&func=echo&payload=" + payload(nestedDocument(depth, objects));
                    const std::string label = std::string(e.path) + (objects ? " objects " : " arrays ") +
                                              (post ? "POST " : "GET ") + std::to_string(depth);
                    const HttpReply r = post ? postForm(folder->port(), e.path, params)
                                             : GET(std::string(e.path) + "?" + params);
                    ASSERT_TRUE(r.ok) << label;
                    if (depth > 512) {
                        if (e.answers500) {
                            EXPECT_EQ(r.status, 500) << label;
                        } else {
                            EXPECT_EQ(r.status, 200) << label;
                            EXPECT_EQ(r.body, script("ab", "5", configError)) << label;
                        }
                    } else if (e.path == std::string("/print") || e.path == std::string("/camera")) {
                        // 512 levels reach the module (the data text is the first element of "data").
                        EXPECT_EQ(r.status, 200) << label;
                        EXPECT_NE(r.body.find(R"({"data":"{\"a\":)"), std::string::npos) << label;
                    } else {
                        EXPECT_EQ(r.status, 200) << label;
                        EXPECT_EQ(r.body.find("2001"), std::string::npos) << label;
                    }
                    ASSERT_EQ(GET("/heart").body, "(0)") << "the service ended after " << label;
                }
            }
        }
    }
}

TEST_F(Bridge, NothingSentBackBecomesMarkup)
{
    const std::string hostile[] = {
        "</script><script>alert(document.domain)</script>",
        "<img src=x onerror=alert(1)>",
        "a&amp;b",
        "line\u2028sep\u2029arator",
        "</SCRIPT >",
    };
    auto rawCharactersIn = [](const std::string& data) {
        for (const char* raw : {"<", ">", "&", "\u2028", "\u2029"})
            if (data.find(raw) != std::string::npos)
                return std::string(raw);
        return std::string();
    };
    for (const std::string& text : hostile) {
        // In the id, and in the module's output: the echo module hands back the data text it
        // received, once with the characters themselves and once with \u003c and \/ escapes.
        Json request = Json::object();
        request["data"] = Json::array({Json::object({{"t", text}})});
        std::string escapedRequest = compactJson(request);
        for (std::size_t at; (at = escapedRequest.find('<')) != std::string::npos;)
            escapedRequest.replace(at, 1, "\\u003c");
        for (std::size_t at = 0; (at = escapedRequest.find('/', at)) != std::string::npos; at += 2)
            escapedRequest.replace(at, 1, "\\/");
        for (const std::string& document : {compactJson(request), escapedRequest}) {
            for (const char* path : {"/print", "/camera"}) {
                const std::string params = "id=" + urlEncode(text) + "&func=echo&payload=" + payload(document);
                // A GET's values arrive one character per byte; a form that names UTF-8 as UTF-8.
                const struct {
                    HttpReply reply;
                    std::string id;
                } replies[] = {
                    {GET(std::string(path) + "?" + params), latin1ToUtf8(text)},
                    {postForm(folder->port(), path, params, "application/x-www-form-urlencoded; charset=UTF-8"), text},
                };
                for (const auto& [r, id] : replies) {
                    const std::string data = dataObjectOf(r.body);
                    ASSERT_FALSE(data.empty()) << r.body;
                    EXPECT_EQ(rawCharactersIn(data), "") << data;
                    EXPECT_EQ(r.body.find("</script>"), r.body.size() - 9) << r.body;
                    const auto parsed = parseStrictJson(data);
                    ASSERT_TRUE(parsed.has_value()) << data;
                    EXPECT_EQ((*parsed)["id"], id);
                    const auto received = parseStrictJson((*parsed)["ret"]["data"].get<std::string>());
                    ASSERT_TRUE(received.has_value()) << data;
                    EXPECT_EQ((*received)["t"], text) << data;
                }
            }
        }
        const HttpReply actuator = GET("/NontaxAgencyActuator?Method=echoParams&Params=YQ%3D%3D&id=" + urlEncode(text));
        EXPECT_EQ(rawCharactersIn(dataObjectOf(actuator.body)), "") << actuator.body;
        EXPECT_EQ(parseStrictJson(dataObjectOf(actuator.body)).value()["id"], latin1ToUtf8(text));

        // A callback that is no identifier path is not echoed.
        EXPECT_EQ(GET("/heart?jsonp=" + urlEncode(text)).body, "(0)");
        EXPECT_EQ(postForm(folder->port(), "/heart", "jsonp=" + urlEncode(text)).body, "(0)");
        EXPECT_EQ(GET("/update?jsonp=" + urlEncode(text)).body, "(-1)");
    }
    EXPECT_EQ(GET("/heart?jsonp=jQuery.cb_1").body, "jQuery.cb_1(0)");
    EXPECT_EQ(postForm(folder->port(), "/update", "jsonp=$cb").body, "$cb(-1)");

    // Parameter values still arrive decoded: "+" as a blank, %2B as "+", bytes one character
    // each without a charset and UTF-8 with one.
    auto idOf = [](const HttpReply& r) { return parseStrictJson(dataObjectOf(r.body)).value()["id"].get<std::string>(); };
    EXPECT_EQ(idOf(GET("/print?func=answer&id=a+b%2Bc")), "a b+c");
    EXPECT_EQ(idOf(GET("/print?func=answer&id=%E4%B8%AD")), "\xC3\xA4\xC2\xB8\xC2\xAD");
    EXPECT_EQ(idOf(postForm(folder->port(), "/print", "func=answer&id=%E4%B8%AD",
                            "application/x-www-form-urlencoded; charset=UTF-8")),
              "中");
}

TEST(BridgeSigning, SignsThroughTheLibraryLoadedAtStart)
{
    ProgramFolder folder;
    ASSERT_TRUE(folder.start()) << folder.output();
    const std::string request = "{\n\t\"signText\": \"中文签名内容\",\n\t\"provider\": \"jit\"\n}";
    HttpReply r = get(folder.port(), "/sign?text=" + urlEncode(encodeBase64Text("中文签名内容")));
    EXPECT_EQ(r.body, request + "\n{\"appId\": \"00\"}");
    EXPECT_EQ(r.header("Content-Type"), "text/json; charset=UTF-8");
    EXPECT_EQ(postForm(folder.port(), "/sign", "").body,
              "{\n\t\"signText\": \"\",\n\t\"provider\": \"jit\"\n}\n{\"appId\": \"00\"}");
}

TEST(BridgeSigning, FailingLibraryGivesTheFailureReply)
{
    ProgramFolder folder;
    folder.installModule("libsign_raise.so", "comp/common/ca/libCA.so");
    ASSERT_TRUE(folder.start()) << folder.output();
    HttpReply r = get(folder.port(), "/sign?text=YWJj");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "{\"ret_code\": \"1\", \"ret_msg\": \"签名服务错误\"}");
    EXPECT_EQ(r.header("Content-Type"), "text/json; charset=UTF-8");
}

TEST(BridgeSigning, NoStartWithoutTheSigningLibrary)
{
    ProgramFolder folder;
    std::filesystem::remove(folder.file("comp/common/ca/libCA.so"));
    folder.launch();
    EXPECT_NE(folder.waitExit(), 0);
    EXPECT_NE(folder.output().find("Kestrix客户端无法启动：无法加载签名库 "), std::string::npos) << folder.output();
    EXPECT_NE(folder.output().find("libCA.so"), std::string::npos) << folder.output();
}

TEST(BridgeExit, AModuleTalkingToTheMainWindowDuringExitDoesNotHoldItUp)
{
    ProgramFolder folder;
    folder.installModule("libc_module.so", "comp/c/libc_module.so");
    folder.writeFile("conf/dll.ini", "[MODULE-DLLPATH]\r\nprint=comp\\c\\libc_module.so\r\n[MODULE-LANG]\r\nprint=c\r\n");
    ASSERT_TRUE(folder.start()) << folder.output();
    // The module's first call waits, then sends the main window a message while the exit
    // routine is already stopping the service.
    HttpReply reply;
    std::thread call([&] {
        reply = get(folder.port(), "/print?id=1&func=loadingAfterWait&payload=" +
                                       payload(R"({"data":[{"ms":"600"}]})"));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    get(folder.port(), "/appctrl?cmd=1");
    EXPECT_EQ(folder.waitExit(std::chrono::seconds(10)), 0);
    call.join();
    EXPECT_NE(reply.body.find(R"(\"ms\":\"600\")"), std::string::npos) << reply.raw;
}
