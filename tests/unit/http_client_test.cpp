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
