// Update checks on their own threads, and "/update", reporting to a stand-in main window that
// records the messages it receives.
#include "update/ThreadUnit.h"

#include "common/Config.h"
#include "common/StartupValues.h"
#include "common/TextCodec.h"
#include "common/WindowMessages.h"
#include "update/Update.h"
#include "update/UpdateSteps.h"

#include "../common/LoopbackHttpServer.h"
#include "../common/ProgramFolderFixture.h"
#include "../common/ScriptedDoubles.h"
#include "../common/ZipBuilder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace kx;
using kx::test::CannedReply;
using kx::test::LoopbackHttpServer;
using kx::test::RecordedRequest;

namespace {

// Records what a main window would receive; the installer path is copied during the send, as
// the real window must.
class RecordingWindow : public MessageTarget {
public:
    void post(unsigned, std::uintptr_t, std::intptr_t) override {}
    std::intptr_t send(unsigned message, std::uintptr_t, std::intptr_t lParam) override
    {
        std::lock_guard lock(mutex);
        std::string path;
        if (message == WM_UPGRADE_APP && lParam) {
            const auto* record = reinterpret_cast<const UpgradeAppRecord*>(lParam);
            path = utf16ToUtf8(record->path);
        }
        received.emplace_back(message, path);
        return 0;
    }
    std::vector<std::pair<unsigned, std::string>> messages()
    {
        std::lock_guard lock(mutex);
        return received;
    }
    std::mutex mutex;
    std::vector<std::pair<unsigned, std::string>> received;
};

class UpdateThreadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setUpdatePause(std::chrono::milliseconds(0));
        prompter = std::make_shared<kx::test::ScriptedPrompter>();
        previousPrompter = setPrompter(prompter);
        target = std::make_shared<RecordingWindow>();
        window = registerWindow(kMainWindowClass, kApplicationTitle, target);
    }
    void TearDown() override
    {
        EXPECT_TRUE(TUpgradeAppThread::waitUntilIdle(std::chrono::seconds(30)));
        unregisterWindow(window);
        setPrompter(previousPrompter);
    }
    void configure(const std::string& url)
    {
        prog.write("conf/sys.ini", "[HTTP]\r\nserver.update.url=" + url + "\r\n[APP]\r\napplication.current.version=1.0\r\n");
    }
    void runCheck(bool manual)
    {
        TUpgradeAppThread::Create(prog.path(), manual, window);
        ASSERT_TRUE(TUpgradeAppThread::waitUntilIdle(std::chrono::seconds(30)));
    }

    kx::test::TempProgramFolder prog;
    std::shared_ptr<kx::test::ScriptedPrompter> prompter;
    std::shared_ptr<Prompter> previousPrompter;
    std::shared_ptr<RecordingWindow> target;
    WindowId window = 0;
};

} // namespace

TEST_F(UpdateThreadTest, NothingFoundIsShownOnlyForManualChecks)
{
    // Unreachable server, and an empty address.
    for (const std::string& url : {"http://127.0.0.1:" + std::to_string(kx::test::closedLoopbackPort()) + "/upgrade/app",
                                   std::string()}) {
        configure(url);
        runCheck(false);
        EXPECT_TRUE(prompter->boxes().empty());
        runCheck(true);
        ASSERT_EQ(prompter->boxes().size(), 1u);
        const MessageBoxRequest box = prompter->boxes()[0];
        EXPECT_EQ(box.text, url.empty() ? "更新服务器地址为空！" : "Kestrix客户端是最新版本，无需更新！");
        EXPECT_EQ(box.caption, "Kestrix客户端");
        EXPECT_EQ(box.icon, BoxIcon::Question);
        EXPECT_EQ(box.buttons, BoxButtons::Ok);
        EXPECT_TRUE(box.topmost);
        EXPECT_FALSE(box.ownedByMainWindow);
        EXPECT_TRUE(target->messages().empty());
        prompter = std::make_shared<kx::test::ScriptedPrompter>();
        setPrompter(prompter);
    }
}

TEST_F(UpdateThreadTest, InstallerIsAnnouncedWithItsPathAndModulesAreNotChecked)
{
    LoopbackHttpServer server([](const RecordedRequest& r) {
        if (r.target == "/upgrade/app")
            return CannedReply{200, {{"app_name", "setup.exe"}}, "installer"};
        return CannedReply{200, {{"UpgradeInfo", "{}"}}, ""};
    });
    configure(server.url("/upgrade/app"));
    runCheck(true);
    EXPECT_EQ(target->messages(),
              (std::vector<std::pair<unsigned, std::string>>{{WM_UPGRADE_APP, prog.file("download/setup.exe")}}));
    EXPECT_EQ(server.requests().size(), 1u);
    EXPECT_TRUE(prompter->boxes().empty());
}

TEST_F(UpdateThreadTest, ModuleUpdateIsAnnouncedAgainWhileItWaits)
{
    LoopbackHttpServer server([](const RecordedRequest& r) {
        if (r.target == "/upgrade/app")
            return CannedReply{200, {}, "no installer"};
        return CannedReply{200, {{"UpgradeInfo", "{}"}}, kx::test::zipBytes({{"readme.txt", "x"}})};
    });
    configure(server.url("/upgrade/app"));
    runCheck(false);
    runCheck(true);
    EXPECT_EQ(target->messages(),
              (std::vector<std::pair<unsigned, std::string>>{{WM_UPGRADE_DLL, ""}, {WM_UPGRADE_DLL, ""}}));
    // The second check found upgrade.dat and did not ask for modules again.
    std::vector<std::string> targets;
    for (const auto& r : server.requests())
        targets.push_back(r.target);
    EXPECT_EQ(targets, (std::vector<std::string>{"/upgrade/app", "/upgrade/dll", "/upgrade/app"}));
}

// A server that sends a byte now and then never trips the 30 s stall limit; the whole request is
// bounded by its size instead (here 1 s plus 1 s per KiB: 2 s for the 1 KiB installer it declares,
// which would take 100 s at this pace). The check gives up, keeps nothing, and the next check runs.
TEST_F(UpdateThreadTest, ATricklingServerIsGivenUpWithinTheSizedLimit)
{
    const UpdateTimeouts defaults = updateTimeouts();
    EXPECT_EQ(defaults.wholeBase, std::chrono::seconds(60));
    EXPECT_EQ(defaults.wholeBytesPerSecond, 256u * 1024);
    UpdateTimeouts shortened = defaults;
    shortened.wholeBase = std::chrono::seconds(1);
    shortened.wholeBytesPerSecond = 1024;
    setUpdateTimeouts(shortened);

    LoopbackHttpServer trickling([](const RecordedRequest& r) {
        if (r.target == "/upgrade/app")
            return CannedReply{200, {{"app_name", "slow.exe"}}, std::string(1024, 'x'), std::chrono::milliseconds(100)};
        return CannedReply{200, {}, ""};
    });
    configure(trickling.url("/upgrade/app"));
    TUpgradeAppThread::Create(prog.path(), false, window);
    const bool idle = TUpgradeAppThread::waitUntilIdle(std::chrono::seconds(20));
    setUpdateTimeouts(defaults);
    ASSERT_TRUE(idle) << "the trickling download was never abandoned";
    EXPECT_TRUE(target->messages().empty());
    EXPECT_FALSE(std::filesystem::exists(prog.file("download/slow.exe")));

    // A large download at a good pace is not cut short by the same limit.
    setUpdateTimeouts(shortened);
    LoopbackHttpServer quick([](const RecordedRequest& r) {
        if (r.target == "/upgrade/app")
            return CannedReply{200, {{"app_name", "big.exe"}}, std::string(4u << 20, 'y')};
        return CannedReply{200, {}, ""};
    });
    configure(quick.url("/upgrade/app"));
    runCheck(false);
    setUpdateTimeouts(defaults);
    EXPECT_EQ(target->messages(),
              (std::vector<std::pair<unsigned, std::string>>{{WM_UPGRADE_APP, prog.file("download/big.exe")}}));
}

TEST_F(UpdateThreadTest, ABurstOfRequestsWhileOneRunsBecomesOneMoreCheck)
{
    // The first check's application request is held until the burst is in; every other request
    // is answered at once. Requests that arrive while a check waits join it.
    std::mutex gateMutex;
    std::condition_variable gate;
    bool open = false;
    std::atomic<int> active{0};
    std::atomic<int> maxActive{0};
    LoopbackHttpServer server([&](const RecordedRequest&) {
        const int now = ++active;
        int seen = maxActive.load();
        while (now > seen && !maxActive.compare_exchange_weak(seen, now)) {
        }
        std::unique_lock lock(gateMutex);
        gate.wait_for(lock, std::chrono::seconds(20), [&] { return open; });
        --active;
        return CannedReply{200, {}, ""};
    });
    configure(server.url("/upgrade/app"));
    TUpgradeAppThread::Create(prog.path(), false, window);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (server.requests().empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(server.requests().size(), 1u) << "the first check never reached the server";

    for (int i = 0; i < 500; ++i)
        TUpgradeAppThread::Create(prog.path(), i == 250, window); // one manual request among them
    {
        std::lock_guard lock(gateMutex);
        open = true;
    }
    gate.notify_all();
    ASSERT_TRUE(TUpgradeAppThread::waitUntilIdle(std::chrono::seconds(30)));
    EXPECT_EQ(server.requests().size(), 4u); // two checks, each an application and a module request
    EXPECT_EQ(maxActive.load(), 1);
    // The joined check stands for the manual request: the user is told there is nothing to do.
    ASSERT_EQ(prompter->boxes().size(), 1u);
    EXPECT_EQ(prompter->boxes()[0].text, "Kestrix客户端是最新版本，无需更新！");

    // Idle again: the next request starts a check of its own.
    runCheck(true);
    EXPECT_EQ(server.requests().size(), 6u);
    EXPECT_EQ(prompter->boxes().size(), 2u);
}

TEST_F(UpdateThreadTest, UpdateEndpointStoresTheAddressAndStartsACheck)
{
    mutableStartupValues().programFolder = prog.path();
    LoopbackHttpServer server([](const RecordedRequest& r) {
        if (r.target == "/upgrade/app")
            return CannedReply{200, {{"app_name", "kx.exe"}}, "installer"};
        return CannedReply{404, {}, ""};
    });
    prog.write("conf/sys.ini", "[APP]\r\napplication.current.version=1.0\r\n");
    TUpdate endpoint;
    const struct {
        std::string url;
        std::string stored;
    } cases[] = {
        {server.url("/"), server.url("/upgrade/app")},
        {server.url(""), server.url("/upgrade/app")},
        {server.url("/upgrade/app"), server.url("/upgrade/app/upgrade/app")},
    };
    for (const auto& c : cases) {
        for (const char* method : {"GET", "POST"}) {
            http::HttpRequest request;
            request.method = method;
            request.params = {{"URL", c.url}, {"jsonp", "cb"}, {"url", "ignored second"}};
            http::HttpResponse response;
            endpoint.Service(request, response);
            EXPECT_EQ(response.body, "cb(0)");
            EXPECT_EQ(response.contentType, "text/html; charset=UTF-8");
            EXPECT_EQ(readSysIni("HTTP", "server.update.url", "", prog.path()), c.stored);
            ASSERT_TRUE(TUpgradeAppThread::waitUntilIdle(std::chrono::seconds(30)));
        }
    }
    // Each request started a check without the manual flag; those against a known address
    // reached the main window, the last two (an address the server does not know) showed nothing.
    EXPECT_TRUE(prompter->boxes().empty());
    const std::pair<unsigned, std::string> installer{WM_UPGRADE_APP, prog.file("download/kx.exe")};
    EXPECT_EQ(target->messages(), (std::vector<std::pair<unsigned, std::string>>(4, installer)));
    EXPECT_EQ(server.requests().size(), 8u);
}

TEST_F(UpdateThreadTest, UpdateEndpointWithoutAddressChangesNothing)
{
    mutableStartupValues().programFolder = prog.path();
    const std::string ini = "[HTTP]\r\nserver.update.url=http://keep/upgrade/app\r\n";
    prog.write("conf/sys.ini", ini);
    TUpdate endpoint;
    for (auto [params, body] : {std::pair{std::vector<std::pair<std::string, std::string>>{{"jsonp", "cb"}}, "cb(-1)"},
                                std::pair{std::vector<std::pair<std::string, std::string>>{{"url", ""}}, "(-1)"},
                                std::pair{std::vector<std::pair<std::string, std::string>>{}, "(-1)"}}) {
        http::HttpRequest request;
        request.method = "POST";
        request.params = params;
        http::HttpResponse response;
        endpoint.OnPost(request, response);
        EXPECT_EQ(response.body, body);
        EXPECT_EQ(response.contentType, "text/html; charset=UTF-8");
    }
    EXPECT_EQ(prog.read("conf/sys.ini"), ini);
    ASSERT_TRUE(TUpgradeAppThread::waitUntilIdle(std::chrono::seconds(5)));
    EXPECT_TRUE(target->messages().empty());
}

TEST_F(UpdateThreadTest, AHungServerDoesNotHoldUpLaterChecks)
{
    const UpdateTimeouts defaults = updateTimeouts();
    EXPECT_EQ(defaults.connect, std::chrono::seconds(10));
    EXPECT_EQ(defaults.stall, std::chrono::seconds(30));
    setUpdateTimeouts({std::chrono::milliseconds(1000), std::chrono::seconds(1)});

    kx::test::SilentLoopbackServer hung;
    LoopbackHttpServer good([](const RecordedRequest& r) {
        if (r.target == "/upgrade/app")
            return CannedReply{200, {{"app_name", "setup.exe"}}, "installer"};
        return CannedReply{200, {}, ""};
    });
    configure(hung.url("/upgrade/app"));
    TUpgradeAppThread::Create(prog.path(), false, window);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (hung.accepted() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(hung.accepted(), 1u);

    // A new address arrives (as "/update" stores one) and its check waits for the hung one.
    configure(good.url("/upgrade/app"));
    TUpgradeAppThread::Create(prog.path(), false, window);
    const bool idle = TUpgradeAppThread::waitUntilIdle(std::chrono::seconds(20));
    setUpdateTimeouts(defaults);
    ASSERT_TRUE(idle) << "the hung request was never abandoned";
    EXPECT_EQ(target->messages(),
              (std::vector<std::pair<unsigned, std::string>>{{WM_UPGRADE_APP, prog.file("download/setup.exe")}}));
}
