#include "http/Dispatcher.h"

#include "app/Heart.h"
#include "common/Errors.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace kx;
using namespace kx::http;

namespace {

class Failing : public PostComponent {
public:
    std::string className() const override { return "TFailing"; }
    void OnPost(HttpRequest&, HttpResponse& r) override
    {
        r.setBody("half written");
        throw KxError("EJsonException", "bad <json>");
    }
};

class GetOnly : public WebComponent {
public:
    std::string className() const override { return "TGetOnly"; }
    void OnGet(HttpRequest&, HttpResponse& r) override { r.setBody("got \xC3\xA4"); }
};

class Raw : public WebComponent {
public:
    std::string className() const override { return "TRaw"; }
    void Service(HttpRequest&, HttpResponse&) override { throw 42; }
};

struct Fixture : ::testing::Test {
    Dispatcher d;
    Fixture()
    {
        d.add("/heart", std::make_unique<THeart>());
        d.add("/fail", std::make_unique<Failing>());
        d.add("/get", std::make_unique<GetOnly>());
        d.add("/raw", std::make_unique<Raw>());
    }
    HttpResponse run(const std::string& method, const std::string& path, bool* close = nullptr,
                     std::vector<std::pair<std::string, std::string>> params = {})
    {
        HttpRequest req;
        req.method = method;
        req.path = path;
        req.params = std::move(params);
        HttpResponse res;
        bool c = false;
        d.dispatch(req, res, c);
        if (close)
            *close = c;
        return res;
    }
};

} // namespace

TEST_F(Fixture, PathsMatchExactlyAndUnknownPathsAre404AndClose)
{
    for (const char* path : {"/heart/", "/HEART", "/hear", "heart", "", "/heart?x"}) {
        bool close = false;
        HttpResponse r = run("GET", path, &close);
        EXPECT_EQ(r.status, 404) << path;
        EXPECT_EQ(r.body, "<html> 404 Not Found</html>") << path;
        EXPECT_TRUE(close) << path;
    }
    bool close = true;
    EXPECT_EQ(run("GET", "/heart", &close).status, 200);
    EXPECT_FALSE(close);
}

TEST_F(Fixture, MethodsReachTheirHandlers)
{
    struct Case {
        const char* method;
        const char* path;
        int status;
        bool bodySet;
    };
    const Case cases[] = {
        {"GET", "/heart", 200, true},    {"POST", "/heart", 200, true},  {"PUT", "/heart", 405, false},
        {"DELETE", "/heart", 405, false}, {"OPTIONS", "/heart", 405, false}, {"HEAD", "/heart", 405, false},
        {"TRACE", "/heart", 405, false}, {"PATCH", "/heart", 405, false}, {"BREW", "/heart", 200, false},
        {"GET", "/get", 200, true},      {"POST", "/get", 405, false},
    };
    for (const auto& c : cases) {
        HttpResponse r = run(c.method, c.path);
        EXPECT_EQ(r.status, c.status) << c.method << " " << c.path;
        EXPECT_EQ(r.bodySet, c.bodySet) << c.method << " " << c.path;
    }
}

TEST_F(Fixture, ErrorsBecomeThe500PageNamingComponentAndErrorClass)
{
    HttpResponse r = run("POST", "/fail");
    EXPECT_EQ(r.status, 500);
    EXPECT_NE(r.body.find("<title>500 Internal Error</title>"), std::string::npos);
    EXPECT_NE(r.body.find("TFailing"), std::string::npos);
    EXPECT_NE(r.body.find("EJsonException"), std::string::npos);
    EXPECT_NE(r.body.find("Exception message: bad &lt;json&gt;"), std::string::npos);
    EXPECT_EQ(r.body.find("half written"), std::string::npos);
    EXPECT_TRUE(r.body.starts_with("<!DOCTYPE html>"));

    HttpResponse unknown = run("GET", "/raw");
    EXPECT_EQ(unknown.status, 500);
    EXPECT_NE(unknown.body.find("TRaw"), std::string::npos);
}

TEST_F(Fixture, HeartAnswersTheJsonpValue)
{
    EXPECT_EQ(run("GET", "/heart").body, "(0)");
    EXPECT_EQ(run("GET", "/heart", nullptr, {{"JSONP", "cb"}, {"jsonp", "other"}}).body, "cb(0)");
    EXPECT_EQ(run("GET", "/heart").contentType, "text/html; charset=UTF-8");
}

TEST(ReplyWriter, HeadersInOrderWithDefaults)
{
    const long long when = 1796872819; // Thu, 10 Dec 2026 03:20:19 GMT
    struct Case {
        HttpResponse response;
        const char* method;
        bool keepAlive;
        std::string expected;
    };
    HttpResponse notAllowed;
    notAllowed.status = 405;
    HttpResponse heart;
    heart.setBody("cb(0)");
    heart.contentType = "text/html; charset=UTF-8";
    HttpResponse latin;
    latin.setBody("\xC3\xA4-\xE4\xB8\xAD"); // ä and a character outside ISO-8859-1
    HttpResponse disposition;
    disposition.setBody("x");
    disposition.contentType = "image/png; charset=UTF-8";
    disposition.contentDisposition = "attachment; filename=a b.png";
    const Case cases[] = {
        {notAllowed, "PUT", true,
         "HTTP/1.1 405 Method not allowed\r\nConnection: keep-alive\r\nContent-Type: text/html; charset=utf-8\r\n"
         "Content-Length: 55\r\nDate: Thu, 10 Dec 2026 03:20:19 GMT\r\n\r\n"
         "<HTML><BODY><B>405 Method not allowed</B></BODY></HTML>"},
        {HttpResponse{}, "GET", false,
         "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: text/html; charset=utf-8\r\n"
         "Content-Length: 39\r\nDate: Thu, 10 Dec 2026 03:20:19 GMT\r\n\r\n<HTML><BODY><B>200 OK</B></BODY></HTML>"},
        {heart, "GET", true,
         "HTTP/1.1 200 OK\r\nConnection: keep-alive\r\nContent-Type: text/html; charset=UTF-8\r\n"
         "Content-Length: 5\r\nDate: Thu, 10 Dec 2026 03:20:19 GMT\r\n\r\ncb(0)"},
        // HEAD: Content-Length of the body that GET would send, no body.
        {heart, "HEAD", true,
         "HTTP/1.1 200 OK\r\nConnection: keep-alive\r\nContent-Type: text/html; charset=UTF-8\r\n"
         "Content-Length: 5\r\nDate: Thu, 10 Dec 2026 03:20:19 GMT\r\n\r\n"},
        {HttpResponse{}, "HEAD", true,
         "HTTP/1.1 200 OK\r\nConnection: keep-alive\r\nContent-Length: 0\r\nDate: Thu, 10 Dec 2026 03:20:19 GMT\r\n\r\n"},
        // No content type: ISO-8859-1, one byte per character.
        {latin, "GET", true,
         "HTTP/1.1 200 OK\r\nConnection: keep-alive\r\nContent-Type: text/html; charset=ISO-8859-1\r\n"
         "Content-Length: 3\r\nDate: Thu, 10 Dec 2026 03:20:19 GMT\r\n\r\n\xE4-?"},
        {disposition, "GET", true,
         "HTTP/1.1 200 OK\r\nConnection: keep-alive\r\nContent-Disposition: attachment; filename=a b.png\r\n"
         "Content-Type: image/png; charset=UTF-8\r\nContent-Length: 1\r\nDate: Thu, 10 Dec 2026 03:20:19 GMT\r\n\r\nx"},
    };
    for (const auto& c : cases) {
        ReplyHead r = buildReply(c.response, c.method, c.keepAlive, when);
        EXPECT_EQ(r.head + r.body, c.expected);
        EXPECT_EQ((r.head + r.body).find("Server:"), std::string::npos);
        EXPECT_EQ((r.head + r.body).find("Access-Control-"), std::string::npos);
    }
}

TEST(ReplyWriter, FilesAreAnnouncedWithTheirSizeAndStreamedLater)
{
    auto dir = std::filesystem::temp_directory_path() / "kx-reply-test";
    std::filesystem::create_directories(dir);
    auto file = dir / "pic 1.png";
    std::ofstream(file, std::ios::binary) << std::string(70000, 'p');

    HttpResponse r;
    r.serveFile(file.string());
    ReplyHead head = buildReply(r, "GET", true, 0);
    EXPECT_EQ(head.fileSize, 70000u);
    EXPECT_EQ(head.filePath, file.string());
    EXPECT_TRUE(head.body.empty());
    EXPECT_NE(head.head.find("Content-Disposition: attachment; filename=\"pic 1.png\";\r\n"
                             "Content-Type: image/png\r\nContent-Length: 70000\r\n"),
              std::string::npos);

    // A file that is gone falls back to the default body.
    HttpResponse missing;
    missing.serveFile((dir / "missing.png").string());
    ReplyHead fallback = buildReply(missing, "GET", true, 0);
    EXPECT_TRUE(fallback.filePath.empty());
    EXPECT_EQ(fallback.body, "<HTML><BODY><B>200 OK</B></BODY></HTML>");
    std::filesystem::remove_all(dir);
}

TEST(ReplyWriter, DatesAreRfc1123InGmt)
{
    EXPECT_EQ(httpDate(0), "Thu, 01 Jan 1970 00:00:00 GMT");
    EXPECT_EQ(httpDate(951782400), "Tue, 29 Feb 2000 00:00:00 GMT");
    EXPECT_EQ(httpDate(951782400), "Tue, 29 Feb 2000 00:00:00 GMT");
    EXPECT_EQ(httpDate(0), "Thu, 01 Jan 1970 00:00:00 GMT");
}
