// Who may call the running client: the Host check, trusted.sites, the refusal replies and their
// run log lines, and the start-up warning when nothing restricts the callers.
#include "Harness.h"

#include <gtest/gtest.h>

using namespace kx::test;

namespace {

const std::string kOpenWarning = "未设置 trusted.sites 和 conf/update.pub";
const std::string kForbidden = "<HTML><BODY><B>403 Forbidden</B></BODY></HTML>";

std::string logOf(const ProgramFolder& folder)
{
    return folder.readFile("log/" + todayLogFileName());
}

std::size_t count(const std::string& text, const std::string& what)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

HttpReply request(unsigned short port, const std::string& target, const std::string& headers)
{
    return rawRequest(port, "GET " + target + " HTTP/1.1\r\n" + headers + "Connection: close\r\n\r\n");
}

} // namespace

TEST(CallerGate, ForeignHostNamesAreRefusedWithoutDisturbingOtherConnections)
{
    ProgramFolder folder;
    ASSERT_TRUE(folder.start()) << folder.output();
    const auto port = folder.port();

    Connection page(port);
    ASSERT_TRUE(page.send("GET /heart?jsonp=a HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n"));
    EXPECT_EQ(page.read().body, "a(0)");

    for (int i = 0; i < 3; ++i) {
        HttpReply refused = request(port, "/appctrl?cmd=1", "Host: rebind.example:" + std::to_string(port) + "\r\n");
        EXPECT_EQ(refused.status, 403);
        EXPECT_EQ(refused.body, kForbidden);
        EXPECT_EQ(refused.header("Connection"), "close");
    }
    Connection rebinding(port);
    ASSERT_TRUE(rebinding.send("GET /heart HTTP/1.1\r\nHost: rebind.example\r\n\r\n"));
    EXPECT_EQ(rebinding.read().status, 403);
    EXPECT_TRUE(rebinding.closedByPeer());

    // The kept-alive connection of the page goes on, and so does the client.
    ASSERT_TRUE(page.send("GET /heart?jsonp=b HTTP/1.1\r\nHost: localhost\r\n\r\n"));
    EXPECT_EQ(page.read().body, "b(0)");
    EXPECT_EQ(request(port, "/heart", "Host: [::1]:" + std::to_string(port) + "\r\n").status, 200);
    EXPECT_EQ(rawRequest(port, "GET /heart HTTP/1.0\r\n\r\n").body, "(0)");
    EXPECT_TRUE(folder.running());

    EXPECT_EQ(folder.stop(), 0);
    const std::string log = logOf(folder);
    EXPECT_EQ(count(log, "rebind.example"), 2u) << log; // with and without the port
    EXPECT_EQ(count(log, kOpenWarning), 1u) << log;
}

TEST(CallerGate, TrustedSitesServeListedPagesAndLocalProgramsOnly)
{
    ProgramFolder folder;
    const std::string port = std::to_string(folder.port());
    folder.writeSysIni("[HTTP]\r\nserver.port=" + port +
                       "\r\ntrusted.sites = https://app.example.com ; https://*.corp.example ; not-an-origin\r\n"
                       "server.update.url=http://updates.example/upgrade/app\r\n");
    ASSERT_TRUE(folder.start()) << folder.output();
    const std::string host = "Host: 127.0.0.1:" + port + "\r\n";

    EXPECT_EQ(request(folder.port(), "/heart?jsonp=cb", host + "Origin: https://app.example.com\r\n").body, "cb(0)");
    EXPECT_EQ(request(folder.port(), "/heart", host + "Referer: https://bills.corp.example/list\r\n"
                                                      "Sec-Fetch-Site: cross-site\r\n").status, 200);
    EXPECT_EQ(request(folder.port(), "/heart", host).status, 200);

    // A refused /update stores nothing (and so starts no check against the page's server).
    for (const std::string& from : {std::string("Origin: https://evil.example\r\n"), std::string("Origin: null\r\n"),
                                    std::string("Referer: https://corp.example/\r\n"),
                                    std::string("Sec-Fetch-Site: cross-site\r\n")}) {
        HttpReply r = request(folder.port(), "/update?url=http://evil.example/&jsonp=cb", host + from);
        EXPECT_EQ(r.status, 403) << from;
        EXPECT_EQ(r.body, kForbidden) << from;
    }
    EXPECT_NE(folder.readFile("conf/sys.ini").find("server.update.url=http://updates.example/upgrade/app"),
              std::string::npos);
    request(folder.port(), "/heart", host + "Origin: https://evil.example\r\n");

    EXPECT_EQ(folder.stop(), 0);
    const std::string log = logOf(folder);
    EXPECT_EQ(count(log, "https://evil.example"), 1u) << log;
    EXPECT_EQ(count(log, "https://corp.example"), 1u) << log;
    EXPECT_EQ(count(log, "cross-site"), 1u) << log;
    EXPECT_EQ(count(log, "not-an-origin"), 1u) << log;
    EXPECT_EQ(count(log, kOpenWarning), 0u) << log;
}

TEST(CallerGate, AnUpdateKeySilencesTheStartUpWarning)
{
    ProgramFolder folder;
    folder.writeFile("conf/update.pub", "-----BEGIN PUBLIC KEY-----\n-----END PUBLIC KEY-----\n");
    ASSERT_TRUE(folder.start()) << folder.output();
    EXPECT_EQ(folder.stop(), 0);
    EXPECT_EQ(count(logOf(folder), kOpenWarning), 0u) << logOf(folder);
}
