// The assistant as a whole: start-up, the HTTP contract on real sockets, heartbeat, app control,
// the run log and exit.
#include "Harness.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <thread>

using namespace kx::test;

namespace {

const std::string kStartLine = "程序网络服务开启成功，当前端口号： ";

std::string logOf(const ProgramFolder& folder)
{
    return folder.readFile("log/" + todayLogFileName());
}

} // namespace

TEST(Spine, ServesHeartAndLogsStartAndExit)
{
    ProgramFolder folder;
    ASSERT_TRUE(folder.start()) << folder.output();

    HttpReply r = get(folder.port(), "/heart?jsonp=callback123");
    EXPECT_EQ(r.body, "callback123(0)");
    EXPECT_EQ(r.header("Content-Type"), "text/html; charset=UTF-8");
    EXPECT_EQ(get(folder.port(), "/heart").body, "(0)");
    EXPECT_EQ(postForm(folder.port(), "/heart", "jsonp=cb").body, "cb(0)");
    EXPECT_EQ(get(folder.port(), "/heart?JSONP=cb").body, "cb(0)");

    // cmd other than 1 answers the default body and changes nothing.
    for (const char* target : {"/appctrl?cmd=2", "/appctrl"}) {
        HttpReply a = get(folder.port(), target);
        EXPECT_EQ(a.status, 200);
        EXPECT_EQ(a.body, "<HTML><BODY><B>200 OK</B></BODY></HTML>");
    }
    EXPECT_TRUE(folder.running());

    HttpReply bye = get(folder.port(), "/appctrl?cmd=1");
    EXPECT_EQ(bye.status, 200);
    EXPECT_EQ(bye.body, "<HTML><BODY><B>200 OK</B></BODY></HTML>");
    EXPECT_EQ(folder.waitExit(), 0);
    const std::string log = logOf(folder);
    EXPECT_NE(log.find(kStartLine + std::to_string(folder.port()) + "\r\n"), std::string::npos) << log;
    EXPECT_EQ(log.rfind("【", 0), 0u) << log;
}

TEST(Spine, RepliesByteForByteWithHeadersInOrder)
{
    ProgramFolder folder;
    ASSERT_TRUE(folder.start()) << folder.output();
    const auto port = folder.port();

    struct Case {
        std::string request;
        std::string statusLine;
        std::vector<std::string> headerNames;
        std::string connection;
        std::string body;
        bool closes;
        bool head;
    };
    const std::string defaultHeaders = "Host: 127.0.0.1\r\n";
    const Case cases[] = {
        {"GET /heart/ HTTP/1.1\r\n" + defaultHeaders + "\r\n", "HTTP/1.1 404 Not Found",
         {"Connection", "Content-Type", "Content-Length", "Date"}, "close", "<html> 404 Not Found</html>", true, false},
        {"GET /HEART HTTP/1.1\r\n" + defaultHeaders + "\r\n", "HTTP/1.1 404 Not Found",
         {"Connection", "Content-Type", "Content-Length", "Date"}, "close", "<html> 404 Not Found</html>", true, false},
        {"PUT /heart HTTP/1.1\r\n" + defaultHeaders + "Content-Length: 0\r\n\r\n", "HTTP/1.1 405 Method not allowed",
         {"Connection", "Content-Type", "Content-Length", "Date"}, "keep-alive",
         "<HTML><BODY><B>405 Method not allowed</B></BODY></HTML>", false, false},
        {"OPTIONS /heart HTTP/1.1\r\n" + defaultHeaders + "Origin: http://example.test\r\n\r\n",
         "HTTP/1.1 405 Method not allowed", {"Connection", "Content-Type", "Content-Length", "Date"}, "keep-alive",
         "<HTML><BODY><B>405 Method not allowed</B></BODY></HTML>", false, false},
        {"BREW /heart HTTP/1.1\r\n" + defaultHeaders + "\r\n", "HTTP/1.1 200 OK",
         {"Connection", "Content-Type", "Content-Length", "Date"}, "keep-alive",
         "<HTML><BODY><B>200 OK</B></BODY></HTML>", false, false},
        {"GET /he%61rt?jsonp=c%62%5F1 HTTP/1.1\r\n" + defaultHeaders + "\r\n", "HTTP/1.1 200 OK",
         {"Connection", "Content-Type", "Content-Length", "Date"}, "keep-alive", "cb_1(0)", false, false},
        // A value that is no callback name is not echoed: a b+c, and the characters of
        // %E4%B8%AD (three without a charset, one with UTF-8).
        {"GET /heart?jsonp=a+b%2Bc HTTP/1.1\r\n" + defaultHeaders + "\r\n", "HTTP/1.1 200 OK",
         {"Connection", "Content-Type", "Content-Length", "Date"}, "keep-alive", "(0)", false, false},
        {"GET /heart?jsonp=%E4%B8%AD HTTP/1.1\r\n" + defaultHeaders + "\r\n", "HTTP/1.1 200 OK",
         {"Connection", "Content-Type", "Content-Length", "Date"}, "keep-alive", "(0)", false, false},
        {"POST /heart HTTP/1.1\r\n" + defaultHeaders +
             "Content-Type: application/x-www-form-urlencoded; charset=UTF-8\r\nContent-Length: 15\r\n\r\njsonp=%E4%B8%AD",
         "HTTP/1.1 200 OK", {"Connection", "Content-Type", "Content-Length", "Date"}, "keep-alive", "(0)", false, false},
        {"POST /heart?jsonp=query HTTP/1.1\r\n" + defaultHeaders +
             "Content-Type: application/x-www-form-urlencoded\r\nTransfer-Encoding: chunked\r\n\r\n"
             "4\r\njson\r\n4\r\np=cb\r\n0\r\n\r\n",
         "HTTP/1.1 200 OK", {"Connection", "Content-Type", "Content-Length", "Date"}, "keep-alive", "cb(0)", false, false},
        // HEAD gets no default body, so neither a content type nor a length.
        {"HEAD /heart HTTP/1.1\r\n" + defaultHeaders + "\r\n", "HTTP/1.1 405 Method not allowed",
         {"Connection", "Content-Length", "Date"}, "keep-alive", "", false, true},
        {"GET /heart HTTP/1.0\r\n\r\n", "HTTP/1.1 200 OK", {"Connection", "Content-Type", "Content-Length", "Date"},
         "close", "(0)", true, false},
        {"GET /heart HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n", "HTTP/1.1 200 OK",
         {"Connection", "Content-Type", "Content-Length", "Date"}, "keep-alive", "(0)", false, false},
        {"GET /heart HTTP/1.1\r\nConnection: close\r\n\r\n", "HTTP/1.1 200 OK",
         {"Connection", "Content-Type", "Content-Length", "Date"}, "close", "(0)", true, false},
        {"get /heart HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK",
         {"Connection", "Content-Type", "Content-Length", "Date"}, "keep-alive", "(0)", false, false},
    };
    for (const Case& c : cases) {
        Connection conn(port);
        ASSERT_TRUE(conn.send(c.request));
        HttpReply r = conn.read(c.head);
        ASSERT_TRUE(r.ok) << c.request;
        EXPECT_EQ(r.statusLine, c.statusLine) << c.request;
        EXPECT_EQ(r.headerNames(), c.headerNames) << c.request;
        EXPECT_EQ(r.header("Connection"), c.connection) << c.request;
        EXPECT_EQ(r.body, c.body) << c.request;
        EXPECT_EQ(r.header("Content-Length"), std::to_string(c.body.size())) << c.request;
        if (c.closes)
            EXPECT_TRUE(conn.closedByPeer()) << c.request;
        else
            EXPECT_FALSE(conn.closedByPeer(std::chrono::milliseconds(100))) << c.request;
    }
}

TEST(Spine, KeepAliveConnectionsAreServedInParallel)
{
    ProgramFolder folder;
    ASSERT_TRUE(folder.start()) << folder.output();
    Connection first(folder.port()), second(folder.port());
    for (int i = 0; i < 20; ++i) {
        // Both requests are in flight before either reply is read.
        ASSERT_TRUE(first.send("GET /heart?jsonp=a" + std::to_string(i) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
        ASSERT_TRUE(second.send("GET /heart?jsonp=b" + std::to_string(i) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
        EXPECT_EQ(second.read().body, "b" + std::to_string(i) + "(0)");
        EXPECT_EQ(first.read().body, "a" + std::to_string(i) + "(0)");
    }
    // Requests pipelined on one connection are answered in order.
    ASSERT_TRUE(first.send("GET /heart?jsonp=p1 HTTP/1.1\r\n\r\nGET /heart?jsonp=p2 HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(first.read().body, "p1(0)");
    EXPECT_EQ(first.read().body, "p2(0)");
}

TEST(Spine, BadRequestsCloseOnlyTheirOwnConnection)
{
    ProgramFolder folder;
    ASSERT_TRUE(folder.start()) << folder.output();
    Connection bystander(folder.port());
    ASSERT_TRUE(bystander.send("GET /heart?jsonp=before HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(bystander.read().body, "before(0)");

    struct Case {
        std::string request;
        int status;
    };
    const Case cases[] = {
        // A head past 2 MiB + 64 KiB: in the header fields, and in the request line.
        {"GET /heart HTTP/1.1\r\nX-Filler: " + std::string(2200 * 1024, 'a') + "\r\n\r\n", 431},
        {"GET /heart?jsonp=a&x=" + std::string(2200 * 1024, 'a') + " HTTP/1.1\r\n\r\n", 431},
        {"GARBAGE\r\n\r\n", 400},
        {"GET /heart HTTP/1.1\r\nBad Header Line\r\n\r\n", 400},
        {"POST /heart HTTP/1.1\r\nContent-Length: abc\r\n\r\n", 400},
        {"POST /heart HTTP/1.1\r\nContent-Length: 300000000\r\n\r\n", 413},
    };
    for (const Case& c : cases) {
        Connection conn(folder.port());
        ASSERT_TRUE(conn.send(c.request));
        HttpReply r = conn.read();
        const std::string shown = c.request.substr(0, 60);
        EXPECT_EQ(r.status, c.status) << shown;
        EXPECT_EQ(r.header("Connection"), "close") << shown;
        EXPECT_TRUE(conn.closedByPeer()) << shown;
    }
    // A document of 2 MiB in the query string, as long an address as a browser sends, is served.
    ASSERT_TRUE(bystander.send("GET /heart?jsonp=long&x=" + std::string(2048 * 1024 - 40, 'a') + " HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(bystander.read().body, "long(0)");
    ASSERT_TRUE(bystander.send("GET /heart?jsonp=after HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(bystander.read().body, "after(0)");
}

TEST(Spine, ExitIsPromptWithIdleKeepAliveConnectionsOpen)
{
    ProgramFolder folder;
    ASSERT_TRUE(folder.start()) << folder.output();
    std::vector<std::unique_ptr<Connection>> idle;
    for (int i = 0; i < 5; ++i) {
        idle.push_back(std::make_unique<Connection>(folder.port()));
        ASSERT_TRUE(idle.back()->send("GET /heart HTTP/1.1\r\n\r\n"));
        ASSERT_TRUE(idle.back()->read().ok);
    }
    auto half = std::make_unique<Connection>(folder.port());
    ASSERT_TRUE(half->send("GET /heart HTTP/1.1\r\nHost: 127.0.0.1\r\n")); // a head that never ends
    get(folder.port(), "/appctrl?cmd=1");
    EXPECT_EQ(folder.waitExit(std::chrono::seconds(5)), 0);
    for (auto& c : idle)
        EXPECT_TRUE(c->closedByPeer());
}

TEST(Spine, SecondInstanceIsRefusedWhileTheFirstKeepsAnswering)
{
    ProgramFolder first;
    ASSERT_TRUE(first.start()) << first.output();
    ProgramFolder second;
    second.launch();
    EXPECT_EQ(second.waitExit(), 1);
    EXPECT_NE(second.output().find("程序已经运行"), std::string::npos) << second.output();
    EXPECT_FALSE(second.exists("log"));
    EXPECT_EQ(get(first.port(), "/heart").body, "(0)");
}

TEST(Spine, PortTakenIsLoggedAndTheProcessStillExits)
{
    ProgramFolder folder;
    int blocker = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(folder.port());
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(blocker, 1), 0);

    folder.launch();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_TRUE(folder.running()) << folder.output();
    folder.signal(SIGTERM); // the service is not reachable, so the session end closes it
    EXPECT_EQ(folder.waitExit(), 0);
    ::close(blocker);
    const std::string log = logOf(folder);
    EXPECT_NE(log.find("程序网络服务开启异常，请检查当前IP和端口号\r\n"), std::string::npos) << log;
    EXPECT_EQ(log.find(kStartLine), std::string::npos) << log;
}

TEST(Spine, NonNumericPortIsLoggedAsAFailedStart)
{
    ProgramFolder folder;
    folder.writeSysIni("[HTTP]\r\nserver.port=13x26\r\n");
    folder.launch();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    folder.signal(SIGINT);
    EXPECT_EQ(folder.waitExit(), 0);
    EXPECT_NE(logOf(folder).find("程序网络服务开启异常，请检查当前IP和端口号"), std::string::npos);
}

TEST(Spine, ListensOnIpv6WhenTheAddressHoldsAColon)
{
    ProgramFolder folder;
    folder.writeSysIni("[HTTP]\r\nserver.ip=::1\r\nserver.port=" + std::to_string(folder.port()) + "\r\n");
    folder.launch();
    HttpReply r;
    for (int i = 0; i < 200 && !r.ok; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        Connection c(folder.port(), true);
        if (c.connected() && c.send("GET /heart?jsonp=six HTTP/1.1\r\n\r\n"))
            r = c.read();
    }
    EXPECT_EQ(r.body, "six(0)");
    EXPECT_FALSE(Connection(folder.port(), false).connected());
    folder.signal(SIGTERM);
    EXPECT_EQ(folder.waitExit(), 0);
}

TEST(Spine, StartUpClearsDownloadsAndCompletesAPendingModuleUpdate)
{
    ProgramFolder folder;
    folder.writeFile("download/old-installer.bin", "x");
    folder.writeFile("download/nested/deeper/file.txt", "y");
    folder.writeFile("conf/dll.ini", "[MODULE-DLLPATH]\r\nprint=comp\\print\\print.dll\r\nca=comp\\common\\ca\\libCA.so\r\n");
    folder.writeFile("conf/sys.ini", "[HTTP]\r\nserver.port=" + std::to_string(folder.port()) + "\r\n[DLL]\r\nprint=v1.0\r\n");
    folder.writeFile("comp/print/print.dll", "new");
    folder.writeFile("comp/print/print_old.dll", "old");
    folder.writeFile("comp/print/data_old.txt", "old data");
    folder.writeFile("comp/print/keep.txt", "keep");
    folder.writeFile("upgrade/upgrade.dat", "{\"print\":\"1.1\",\"\":\"2\",\"pd\":\"\",\"unknown\":\"3\"}");
    folder.writeFile("upgrade/dll_upgrade.zip", "zip");
    ASSERT_TRUE(folder.start()) << folder.output();

    EXPECT_FALSE(folder.exists("download"));
    EXPECT_FALSE(folder.exists("upgrade"));
    EXPECT_FALSE(folder.exists("comp/print/print_old.dll"));
    EXPECT_FALSE(folder.exists("comp/print/data_old.txt"));
    EXPECT_EQ(folder.readFile("comp/print/print.dll"), "new");
    EXPECT_TRUE(folder.exists("comp/print/keep.txt"));
    EXPECT_EQ(folder.readFile("conf/sys.ini"),
              "[HTTP]\r\nserver.port=" + std::to_string(folder.port()) + "\r\n[DLL]\r\nprint=v1.1\r\n");
}

TEST(Spine, DamagedOrEmptyPendingUpdateFilesAreClearedWithoutRecording)
{
    for (const char* content : {"[1,2]", "not json", "{}", ""}) {
        ProgramFolder folder;
        folder.writeFile("conf/dll.ini", "[MODULE-DLLPATH]\r\nprint=comp\\print\\print.dll\r\n");
        folder.writeFile("comp/print/print_old.dll", "old");
        folder.writeFile("upgrade/upgrade.dat", content);
        const std::string sysIni = folder.readFile("conf/sys.ini");
        ASSERT_TRUE(folder.start()) << folder.output();
        EXPECT_FALSE(folder.exists("upgrade")) << content;
        EXPECT_EQ(folder.readFile("conf/sys.ini"), sysIni) << content;
        EXPECT_TRUE(folder.exists("comp/print/print_old.dll")) << content;
    }
}

TEST(Spine, SigtermRunsTheExitRoutineAndTwoRunsShareTheDaysLog)
{
    ProgramFolder folder;
    ASSERT_TRUE(folder.start()) << folder.output();
    folder.signal(SIGTERM);
    EXPECT_EQ(folder.waitExit(), 0);
    const std::string firstRun = logOf(folder);
    ASSERT_NE(firstRun.find(kStartLine), std::string::npos);

    ASSERT_TRUE(folder.start()) << folder.output();
    EXPECT_EQ(folder.stop(), 0);
    const std::string both = logOf(folder);
    EXPECT_TRUE(both.starts_with(firstRun));
    EXPECT_NE(both.find(kStartLine, firstRun.size()), std::string::npos) << both;
}

TEST(Spine, AnUnwritableLogStillEndsTheProcess)
{
    ProgramFolder folder;
    folder.writeFile("log", "a file where the log folder should be");
    ASSERT_TRUE(folder.start()) << folder.output();
    get(folder.port(), "/appctrl?cmd=1");
    EXPECT_EQ(folder.waitExit(), 0);
}
