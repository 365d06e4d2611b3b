// Updates through the real binary: a loopback update server answers the application and module
// requests, and a loopback companion service records what the client asks of it. Without a
// display the client's questions are answered with their default button (No), which the output
// shows.
#include "Harness.h"

#include "../common/LoopbackHttpServer.h"
#include "../common/ZipBuilder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

namespace fs = std::filesystem;
using namespace kx::test;

namespace {

const std::string kModuleQuestion = "检测到客户端组件更新，Kestrix客户端助手需要重启才能更新，是否立即更新？";
const std::string kAppQuestion = "Kestrix客户端助手需要更新到最新版本，需要关闭客户端才能更新，是否立即更新？";

bool waitFor(const std::function<bool()>& condition, std::chrono::seconds timeout = std::chrono::seconds(20))
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return condition();
}

// sys.ini with the folder's port, an update address and installed versions; dll.ini with print.
void configure(const ProgramFolder& folder, const std::string& updateUrl, const std::string& dllSection)
{
    folder.writeSysIni("[HTTP]\r\nserver.ip=127.0.0.1\r\nserver.port=" + std::to_string(folder.port()) +
                       "\r\nserver.update.url=" + updateUrl + "\r\n[APP]\r\napplication.current.version=v1.0\r\n"
                       "[DLL]\r\n" + dllSection);
    folder.writeFile("conf/dll.ini", "[MODULE-DLLPATH]\r\nprint=comp\\print\\print.dll\r\n");
    folder.writeFile("comp/print/print.dll", "old print");
}

// An update server with no installer that answers the module request with this package.
CannedReply moduleReply(const RecordedRequest& r, const std::string& info, const std::string& package)
{
    if (r.target == "/upgrade/dll")
        return CannedReply{200, {{"UpgradeInfo", info}}, package};
    return CannedReply{200, {}, ""};
}

std::vector<std::string> targetsOf(const LoopbackHttpServer& server)
{
    std::vector<std::string> t;
    for (const auto& r : server.requests())
        t.push_back(r.target);
    return t;
}

} // namespace

TEST(Update, InstallerIsDownloadedAndOffered)
{
    ProgramFolder folder;
    LoopbackHttpServer companion([](const RecordedRequest&) { return CannedReply{}; }, folder.port() + 2);
    const std::string installer("MZ\x00installer\xff", 13);
    LoopbackHttpServer updates([&](const RecordedRequest&) {
        return CannedReply{200, {{"app_name", "setup 2.exe"}}, installer};
    });
    configure(folder, updates.url("/upgrade/app"), "print=v1.0\r\n");
    ASSERT_TRUE(folder.start()) << folder.output();

    ASSERT_TRUE(waitFor([&] { return folder.output().find(kAppQuestion) != std::string::npos; })) << folder.output();
    EXPECT_EQ(folder.readFile("download/setup 2.exe"), installer);
    ASSERT_EQ(updates.requests().size(), 1u); // no module request after an installer
    EXPECT_EQ(updates.requests()[0].body, "version=1.0");
    EXPECT_TRUE(companion.requests().empty()); // the default answer is No

    // The next start removes the unused installer.
    EXPECT_EQ(folder.stop(), 0);
    folder.writeSysIni("[HTTP]\r\nserver.port=" + std::to_string(folder.port()) + "\r\n");
    ASSERT_TRUE(folder.start()) << folder.output();
    EXPECT_FALSE(folder.exists("download"));
}

TEST(Update, ModulePackageIsUnpackedAndCompletedByTheNextStart)
{
    ProgramFolder folder;
    const std::string package = zipBytes({{"print.zip", zipBytes({{"print.dll", "new print"}})}});
    LoopbackHttpServer updates([&](const RecordedRequest& r) { return moduleReply(r, "{\"print\":\"1.1\"}", package); });
    configure(folder, updates.url("/upgrade/app"), "print=v1.0\r\npos=\r\n");
    ASSERT_TRUE(folder.start()) << folder.output();

    ASSERT_TRUE(waitFor([&] { return folder.output().find(kModuleQuestion) != std::string::npos; })) << folder.output();
    EXPECT_EQ(folder.readFile("comp/print/print.dll"), "new print");
    EXPECT_EQ(folder.readFile("comp/print/print_old.dll"), "old print");
    EXPECT_EQ(folder.readFile("upgrade/upgrade.dat"), "{\"print\":\"1.1\"}");
    EXPECT_EQ(targetsOf(updates), (std::vector<std::string>{"/upgrade/app", "/upgrade/dll"}));
    EXPECT_EQ(updates.requests()[1].body, "{\"print\":\"v1.0\"}");

    EXPECT_EQ(folder.stop(), 0);
    ASSERT_TRUE(folder.start()) << folder.output();
    EXPECT_FALSE(folder.exists("comp/print/print_old.dll"));
    EXPECT_EQ(folder.readFile("comp/print/print.dll"), "new print");
    EXPECT_NE(folder.readFile("conf/sys.ini").find("print=v1.1"), std::string::npos) << folder.readFile("conf/sys.ini");
    EXPECT_FALSE(folder.exists("upgrade"));
}

TEST(Update, ModulesThatCannotBeReplacedAreLeftAsTheyWere)
{
    // Each package still ends in a waiting module update; none of them replaces print.
    const struct {
        const char* what;
        std::string info;
        std::string package;
        const char* logLine; // the run log's reason; nullptr: skipped without a line
    } cases[] = {
        {"archive adds a file that does not exist yet", "{\"print\":\"1.1\"}",
         zipBytes({{"print.zip", zipBytes({{"print.dll", "new"}, {"extra.dll", "new file"}})}}),
         "组件 print 未更新，已回滚：模块目录中没有文件 extra.dll"},
        {"modules missing from dll.ini", "{\"scanner\":\"2.0\",\"camera\":\"1.0\"}",
         zipBytes({{"scanner.zip", zipBytes({{"scanner.dll", "x"}})}}), nullptr},
        {"module archive with escaping entries", "{\"print\":\"1.1\"}",
         zipBytes({{"print.zip", zipBytes({{"print.dll", "new"}, {"../../../escape.dll", "x"},
                                           {"/tmp/kx-e2e-absolute-entry.dll", "x"}})}}),
         "组件 print 未更新，已回滚：条目路径不安全：../../../escape.dll"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ProgramFolder folder;
        LoopbackHttpServer updates([&](const RecordedRequest& r) { return moduleReply(r, c.info, c.package); });
        configure(folder, updates.url("/upgrade/app"), "print=v1.0\r\n");
        ASSERT_TRUE(folder.start()) << folder.output();
        ASSERT_TRUE(waitFor([&] { return folder.output().find(kModuleQuestion) != std::string::npos; }))
            << folder.output();
        EXPECT_EQ(folder.readFile("upgrade/upgrade.dat"), "{}");
        EXPECT_EQ(folder.readFile("comp/print/print.dll"), "old print");
        EXPECT_FALSE(folder.exists("comp/print/print_old.dll"));
        EXPECT_FALSE(folder.exists("comp/print/extra.dll"));
        EXPECT_FALSE(folder.exists("escape.dll"));
        EXPECT_EQ(folder.stop(), 0);
        const std::string log = folder.readFile("log/" + todayLogFileName());
        if (c.logLine)
            EXPECT_NE(log.find(c.logLine), std::string::npos) << log;
        else
            EXPECT_EQ(log.find("组件"), std::string::npos) << log;
    }
    EXPECT_FALSE(fs::exists("/tmp/kx-e2e-absolute-entry.dll"));
}

TEST(Update, EscapingPackageIsRefusedAsAWhole)
{
    ProgramFolder folder;
    const std::string package = zipBytes({{"print.zip", zipBytes({{"print.dll", "new"}})},
                                          {"../escape.txt", "x"},
                                          {"/tmp/kx-e2e-absolute-package-entry.txt", "x"}});
    LoopbackHttpServer updates([&](const RecordedRequest& r) { return moduleReply(r, "{\"print\":\"1.1\"}", package); });
    configure(folder, updates.url("/upgrade/app"), "print=v1.0\r\n");
    ASSERT_TRUE(folder.start()) << folder.output();
    ASSERT_TRUE(waitFor([&] { return updates.requests().size() == 2; })) << folder.output();
    // Give the check time to finish with the refused package.
    ASSERT_TRUE(waitFor([&] { return !folder.exists("dll_upgrade.zip"); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(folder.exists("upgrade/upgrade.dat"));
    EXPECT_FALSE(folder.exists("escape.txt"));
    EXPECT_FALSE(fs::exists("/tmp/kx-e2e-absolute-package-entry.txt"));
    EXPECT_EQ(folder.readFile("comp/print/print.dll"), "old print");
    EXPECT_EQ(folder.output().find(kModuleQuestion), std::string::npos);
}

TEST(Update, UpdateEndpointStoresTheAddressAndStartsACheck)
{
    ProgramFolder folder;
    LoopbackHttpServer updates([](const RecordedRequest& r) {
        if (r.target == "/base/upgrade/app")
            return CannedReply{200, {{"app_name", "kx.exe"}}, "installer"};
        return CannedReply{404, {}, ""};
    });
    folder.writeSysIni("[HTTP]\r\nserver.port=" + std::to_string(folder.port()) +
                       "\r\n[APP]\r\napplication.current.version=1.0\r\n");
    ASSERT_TRUE(folder.start()) << folder.output();
    auto stored = [&] {
        const std::string ini = folder.readFile("conf/sys.ini");
        const auto at = ini.find("server.update.url=");
        return at == std::string::npos ? std::string() : ini.substr(at + 18, ini.find('\r', at) - at - 18);
    };

    // Without "url" nothing is stored.
    const std::string before = folder.readFile("conf/sys.ini");
    EXPECT_EQ(get(folder.port(), "/update?jsonp=cb").body, "cb(-1)");
    EXPECT_EQ(get(folder.port(), "/update").body, "(-1)");
    EXPECT_EQ(folder.readFile("conf/sys.ini"), before);

    const std::string base = updates.url("/other");
    const struct {
        std::string url;
        std::string expected;
    } cases[] = {
        {base + "/", base + "/upgrade/app"},
        {base, base + "/upgrade/app"},
        {base + "/upgrade/app", base + "/upgrade/app/upgrade/app"},
    };
    for (const auto& c : cases) {
        const HttpReply r = postForm(folder.port(), "/update", "jsonp=cb&url=" + c.url);
        EXPECT_EQ(r.body, "cb(0)");
        EXPECT_EQ(r.header("Content-Type"), "text/html; charset=UTF-8");
        EXPECT_EQ(stored(), c.expected);
    }

    // The check started by "/update" reaches the main window, which asks about the installer.
    EXPECT_EQ(get(folder.port(), "/update?jsonp=cb&url=" + updates.url("/base")).body, "cb(0)");
    EXPECT_EQ(stored(), updates.url("/base/upgrade/app"));
    ASSERT_TRUE(waitFor([&] { return folder.output().find(kAppQuestion) != std::string::npos; })) << folder.output();
    EXPECT_EQ(folder.readFile("download/kx.exe"), "installer");
}

TEST(Update, AStoredGopherAddressNeverReachesTheCompanionService)
{
    ProgramFolder folder;
    LoopbackHttpServer companion([](const RecordedRequest&) { return CannedReply{}; }, folder.port() + 2);
    // Raw bytes that a gopher request would write to the companion service's port: a POST asking
    // it to install a file of the attacker's choice.
    const std::string address = "gopher://127.0.0.1:" + std::to_string(folder.port() + 2) +
                                "/_POST%20/upgradeMainApp%3Ffp%3D/tmp/evil.exe%20HTTP/1.1%0D%0AHost:%20x%0D%0A"
                                "Content-Length:%200%0D%0A%0D%0A";
    configure(folder, address, "print=v1.0\r\n");
    ASSERT_TRUE(folder.start()) << folder.output();
    // The first check starts about two seconds after start and fails at once; give it ample time.
    std::this_thread::sleep_for(std::chrono::seconds(5));
    EXPECT_TRUE(companion.requests().empty()) << companion.requests().at(0).target;
    EXPECT_EQ(folder.stop(), 0);
}
