// The HTTP client against a real loopback server: what goes on the wire, what comes back, and
// which outcomes count as failures.
#include "http/HttpClient.h"

#include "../common/LoopbackHttpServer.h"

#include <gtest/gtest.h>

using namespace kx;
using kx::test::CannedReply;
using kx::test::LoopbackHttpServer;
using kx::test::RecordedRequest;

TEST(HttpClient, PostsFormFieldsUrlEncoded)
{
    LoopbackHttpServer server([](const RecordedRequest&) { return CannedReply{}; });
    const auto r = http::postForm(server.url("/upgrade/app"), {{"version", "2.0.1 beta&x=é"}});
    ASSERT_TRUE(r.ok) << r.error;
    const auto req = server.requests().at(0);
    EXPECT_EQ(req.method, "POST");
    EXPECT_EQ(req.target, "/upgrade/app");
    EXPECT_EQ(req.header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(req.body, "version=2.0.1+beta%26x%3D%C3%A9");
}

TEST(HttpClient, EmptyFormSendsEmptyBody)
{
    LoopbackHttpServer server([](const RecordedRequest&) { return CannedReply{}; });
    ASSERT_TRUE(http::postForm(server.url("/controlMainApp?ct=2"), {}).ok);
    const auto req = server.requests().at(0);
    EXPECT_EQ(req.target, "/controlMainApp?ct=2");
    EXPECT_EQ(req.body, "");
    EXPECT_EQ(req.header("Content-Type"), "application/x-www-form-urlencoded");
}

TEST(HttpClient, PostsRawBodyWithoutContentTypeOrExpect)
{
    LoopbackHttpServer server([](const RecordedRequest&) { return CannedReply{}; });
    const std::string body = "{\"print\":\"v1.0\"}" + std::string(5000, ' '); // large enough for Expect
    ASSERT_TRUE(http::postBody(server.url("/upgrade/dll"), body).ok);
    const auto req = server.requests().at(0);
    EXPECT_EQ(req.body, body);
    EXPECT_FALSE(req.hasHeader("Content-Type"));
    EXPECT_FALSE(req.hasHeader("Expect"));
}

TEST(HttpClient, ReadsHeadersByNameAndBodyAsBytes)
{
    const std::string bytes("MZ\x00\x01\xff\r\n\x00", 8);
    LoopbackHttpServer server([&](const RecordedRequest&) {
        return CannedReply{200, {{"app_name", "setup.exe"}, {"UpgradeInfo", "{\"print\":\"1.1\"}"}}, bytes};
    });
    const auto r = http::postForm(server.url("/"), {});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.reply.header("APP_NAME"), "setup.exe");
    EXPECT_EQ(r.reply.header("upgradeinfo"), "{\"print\":\"1.1\"}");
    EXPECT_EQ(r.reply.header("missing"), "");
    EXPECT_EQ(r.reply.body, bytes);
}

TEST(HttpClient, ErrorStatusesRedirectsAndClosedPortsAreFailures)
{
    for (int status : {301, 302, 404, 500, 503}) {
        LoopbackHttpServer target([](const RecordedRequest&) { return CannedReply{200, {}, "moved here"}; });
        LoopbackHttpServer server([&](const RecordedRequest&) {
            return CannedReply{status, {{"Location", target.url("/elsewhere")}, {"app_name", "x.exe"}}, "body"};
        });
        const auto r = http::postForm(server.url("/"), {{"version", "1"}});
        EXPECT_FALSE(r.ok) << status;
        EXPECT_EQ(r.reply.status, status);
        EXPECT_TRUE(target.requests().empty()) << "redirect followed for " << status;
    }
    const auto closed = http::postBody("http://127.0.0.1:" + std::to_string(kx::test::closedLoopbackPort()) + "/", "x");
    EXPECT_FALSE(closed.ok);
    EXPECT_FALSE(closed.error.empty());
    EXPECT_FALSE(http::postBody("not an address", "x").ok);
}

namespace {

// Takes the body of 2xx replies that carry "want", piece by piece.
class RecordingSink : public http::BodySink {
public:
    bool begin(const http::ClientReply& head) override
    {
        ++begins;
        status = head.status;
        return !head.header("want").empty();
    }
    bool write(const char* data, std::size_t size) override
    {
        ++pieces;
        body.append(data, size);
        return body.size() < failAfter;
    }
    int begins = 0;
    long status = 0;
    int pieces = 0;
    std::string body;
    std::size_t failAfter = std::string::npos;
};

} // namespace

TEST(HttpClient, ASinkTakesTheBodyInPiecesWhenItWantsIt)
{
    const std::string big(3 << 20, 'b');
    LoopbackHttpServer server([&](const RecordedRequest& r) {
        if (r.target == "/wanted")
            return CannedReply{200, {{"want", "yes"}}, big};
        if (r.target == "/error")
            return CannedReply{500, {{"want", "yes"}}, "error page"};
        if (r.target == "/empty")
            return CannedReply{200, {{"want", "yes"}}, ""};
        return CannedReply{200, {}, "not wanted"};
    });
    {
        RecordingSink sink;
        const auto r = http::postForm(server.url("/wanted"), {}, {.sink = &sink});
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(sink.begins, 1);
        EXPECT_EQ(sink.status, 200);
        EXPECT_EQ(sink.body, big);
        EXPECT_GT(sink.pieces, 1);
        EXPECT_TRUE(r.reply.body.empty()); // never held whole in memory
        EXPECT_EQ(r.reply.header("want"), "yes");
    }
    for (const char* path : {"/unwanted", "/error"}) {
        RecordingSink sink;
        const auto r = http::postForm(server.url(path), {}, {.sink = &sink});
        EXPECT_TRUE(sink.body.empty()) << path;
        EXPECT_EQ(sink.pieces, 0) << path;
        EXPECT_EQ(sink.begins, path == std::string("/error") ? 0 : 1) << path; // error bodies are never offered
    }
    {
        RecordingSink sink; // an empty body is offered too
        ASSERT_TRUE(http::postForm(server.url("/empty"), {}, {.sink = &sink}).ok);
        EXPECT_EQ(sink.begins, 1);
    }
    {
        RecordingSink sink; // a sink that cannot store fails the transfer
        sink.failAfter = 1;
        const auto r = http::postForm(server.url("/wanted"), {}, {.sink = &sink});
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(sink.pieces, 1);
    }
}

TEST(HttpClient, OnlyHttpAndHttpsAreFetched)
{
    LoopbackHttpServer server([](const RecordedRequest&) { return CannedReply{}; });
    const std::string hostPort = "127.0.0.1:" + std::to_string(server.port());
    for (const std::string& url : {"gopher://" + hostPort + "/_POST%20/x", "dict://" + hostPort + "/x",
                                   std::string("file:///etc/hostname"), "ftp://" + hostPort + "/", "telnet://" + hostPort,
                                   "smtp://" + hostPort, "ldap://" + hostPort + "/"}) {
        const auto r = http::postBody(url, "x");
        EXPECT_FALSE(r.ok) << url;
        EXPECT_TRUE(r.reply.body.empty()) << url;
    }
    EXPECT_TRUE(server.requests().empty());
    EXPECT_TRUE(http::postBody(server.url("/"), "x").ok);
}

TEST(HttpClient, AServerThatSendsNothingIsAbandoned)
{
    kx::test::SilentLoopbackServer hung;
    const auto start = std::chrono::steady_clock::now();
    const auto r = http::postBody(hung.url("/"), "x", {.connectTimeout = std::chrono::seconds(1),
                                                       .stallTimeout = std::chrono::seconds(1)});
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(hung.accepted(), 1u);
    EXPECT_LT(took, std::chrono::seconds(15)); // generous: only "not forever" is asserted
}
