// Requests to the companion service and its repair, with a scripted prompter, a scripted service
// manager and a loopback server standing in for the companion service.
#include "update/ServiceControl.h"

#include "common/AutoRun.h"
#include "common/Errors.h"
#include "platform/AutoRunStore.h"

#include "../common/LoopbackHttpServer.h"
#include "../common/ScriptedDoubles.h"

#include "../common/TempPath.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace fs = std::filesystem;
using namespace kx;
using kx::test::CannedReply;
using kx::test::LoopbackHttpServer;
using kx::test::RecordedRequest;
using kx::test::ScriptedPrompter;
using kx::test::ScriptedServiceManager;

namespace {

class ServiceControlTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = kx::test::makeTempFolder("kx-svc-");
        platform::setAutoRunStorePath((dir_ / "flag.reg").string());
        prompter_ = std::make_shared<ScriptedPrompter>();
        previousPrompter_ = setPrompter(prompter_);
        manager_ = std::make_shared<ScriptedServiceManager>();
        previousManager_ = platform::setServiceManager(manager_);
    }
    void TearDown() override
    {
        setPrompter(previousPrompter_);
        platform::setServiceManager(previousManager_);
        platform::setAutoRunStorePath("");
        fs::remove_all(dir_);
    }
    std::string folder() const { return dir_.string(); }

    fs::path dir_;
    std::shared_ptr<ScriptedPrompter> prompter_;
    std::shared_ptr<Prompter> previousPrompter_;
    std::shared_ptr<ScriptedServiceManager> manager_;
    std::shared_ptr<platform::ServiceManager> previousManager_;
    std::vector<std::string> balloons_;
    BalloonFn balloon_ = [this](const std::string& text) { balloons_.push_back(text); };
};

} // namespace

TEST(ControlRequestAddress, UsesPortPlusTwoAndEncodesOnlyBlanksAndNonAscii)
{
    EXPECT_EQ(controlRequestAddress("127.0.0.1", "13526", "/controlMainApp?ct=2"),
              "http://127.0.0.1:13528/controlMainApp?ct=2");
    EXPECT_EQ(controlRequestAddress("127.0.0.1", "13526", "/upgradeMainApp?fp=/opt/Program Files/a b&c%.exe"),
              "http://127.0.0.1:13528/upgradeMainApp?fp=/opt/Program%20Files/a%20b&c%.exe");
    EXPECT_EQ(controlRequestAddress("localhost", "80", "/upgradeMainApp?fp=/安装.exe"),
              "http://localhost:82/upgradeMainApp?fp=/%E5%AE%89%E8%A3%85.exe");
    EXPECT_THROW(controlRequestAddress("127.0.0.1", "13526x", "/"), KxError);
    EXPECT_THROW(controlRequestAddress("127.0.0.1", "", "/"), KxError);
}

TEST_F(ServiceControlTest, RepairOutcomes)
{
    using E = platform::OpenServiceError;
    const std::string program = folder() + "/KxService";
    const struct {
        const char* what;
        bool managerOpens;
        E openError;
        bool createSucceeds;
        bool startSucceeds;
        bool expected;
        std::vector<std::string> calls;
    } cases[] = {
        {"manager cannot be opened", false, E::None, true, true, false, {"openManager"}},
        {"service starts", true, E::None, true, true, true,
         {"openManager", "openService KestrixAssistantServer", "start", "closeService", "closeManager"}},
        {"service missing is registered and started", true, E::DoesNotExist, true, true, true,
         {"openManager", "openService KestrixAssistantServer",
          "create KestrixAssistantServer|Kestrix Assistant Server|" + program, "start", "closeService", "closeManager"}},
        {"service cannot be opened", true, E::Other, true, true, false,
         {"openManager", "openService KestrixAssistantServer", "closeManager"}},
        {"registration fails", true, E::DoesNotExist, false, true, false,
         {"openManager", "openService KestrixAssistantServer",
          "create KestrixAssistantServer|Kestrix Assistant Server|" + program, "closeManager"}},
        {"start fails (already running)", true, E::None, true, false, false,
         {"openManager", "openService KestrixAssistantServer", "start", "closeService", "closeManager"}},
    };
    for (const auto& c : cases) {
        ScriptedServiceManager m;
        m.managerOpens = c.managerOpens;
        m.openError = c.openError;
        m.createSucceeds = c.createSucceeds;
        m.startSucceeds = c.startSucceeds;
        ASSERT_TRUE(writeAutoRun(0));
        EXPECT_EQ(repairService(m, kCompanionServiceName, folder()), c.expected) << c.what;
        EXPECT_EQ(m.calls, c.calls) << c.what;
        EXPECT_EQ(m.openHandles, 0) << c.what;
    }
}

TEST_F(ServiceControlTest, FlagIsClearedWhileStartingAndRestoredAfterwards)
{
    for (bool startSucceeds : {true, false}) {
        ScriptedServiceManager m;
        m.startSucceeds = true;
        int flagDuringStart = -1;
        m.onStart = [&] { flagDuringStart = readAutoRun(); };
        m.startSucceeds = startSucceeds;
        ASSERT_TRUE(writeAutoRun(1));
        EXPECT_EQ(repairService(m, kCompanionServiceName, folder()), startSucceeds);
        if (startSucceeds) {
            EXPECT_EQ(flagDuringStart, 0);
        }
        EXPECT_EQ(readAutoRun(), 1) << "start succeeded: " << startSucceeds;
    }
    // A flag of 0 stays 0.
    ScriptedServiceManager m;
    ASSERT_TRUE(writeAutoRun(0));
    EXPECT_TRUE(repairService(m, kCompanionServiceName, folder()));
    EXPECT_EQ(readAutoRun(), 0);
}

TEST_F(ServiceControlTest, UnreadableOrNegativeFlagRaisesAndClosesHandles)
{
    ScriptedServiceManager m; // no flag stored yet
    try {
        repairService(m, kCompanionServiceName, folder());
        ADD_FAILURE() << "no error";
    } catch (const KxError& e) {
        EXPECT_STREQ(e.what(), "Failed to get data for 'AutoRun'");
    }
    EXPECT_EQ(m.openHandles, 0);
    EXPECT_EQ(std::count(m.calls.begin(), m.calls.end(), "start"), 0);

    ASSERT_TRUE(platform::writeStoredDword("AutoRun", 0xFFFFFFFFu));
    ScriptedServiceManager m2;
    EXPECT_THROW(repairService(m2, kCompanionServiceName, folder()), KxError);
    EXPECT_EQ(m2.openHandles, 0);
}

TEST_F(ServiceControlTest, AnsweredRequestNeedsNoRepair)
{
    LoopbackHttpServer companion([](const RecordedRequest&) { return CannedReply{}; });
    runControlRequest(companion.url("/controlMainApp?ct=2"), folder(), balloon_);
    EXPECT_EQ(companion.requests().size(), 1u);
    EXPECT_TRUE(prompter_->boxes().empty());
    EXPECT_TRUE(balloons_.empty());
    EXPECT_TRUE(manager_->calls.empty());
}

TEST_F(ServiceControlTest, DeclinedRepair)
{
    const unsigned short port = kx::test::closedLoopbackPort();
    prompter_->script({kAnswerNo});
    runControlRequest("http://127.0.0.1:" + std::to_string(port) + "/controlMainApp?ct=2", folder(), balloon_);
    ASSERT_EQ(prompter_->boxes().size(), 1u);
    const MessageBoxRequest box = prompter_->boxes()[0];
    EXPECT_EQ(box.text, "客户端服务出现异常，是否立马修复！");
    EXPECT_EQ(box.caption, "Kestrix客户端");
    EXPECT_EQ(box.icon, BoxIcon::Warning);
    EXPECT_EQ(box.buttons, BoxButtons::YesNo);
    EXPECT_EQ(box.defaultButton, kAnswerYes);
    EXPECT_TRUE(box.topmost);
    EXPECT_TRUE(box.ownedByMainWindow);
    EXPECT_EQ(balloons_, std::vector<std::string>{"客户端异常未修复"});
    EXPECT_TRUE(manager_->calls.empty());
}

TEST_F(ServiceControlTest, RepairStartsTheServiceAndRepeatsTheRequest)
{
    // The companion service is down until the repair starts it.
    const unsigned short port = kx::test::closedLoopbackPort();
    std::unique_ptr<LoopbackHttpServer> companion;
    manager_->onStart = [&] {
        companion = std::make_unique<LoopbackHttpServer>([](const RecordedRequest&) { return CannedReply{}; }, port);
    };
    ASSERT_TRUE(writeAutoRun(1));
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/upgradeMainApp?fp=/tmp/a%20b.exe";
    runControlRequest(url, folder(), balloon_);
    EXPECT_EQ(balloons_, std::vector<std::string>{"客户端服务修复成功"});
    ASSERT_TRUE(companion);
    ASSERT_EQ(companion->requests().size(), 1u);
    EXPECT_EQ(companion->requests()[0].target, "/upgradeMainApp?fp=/tmp/a%20b.exe");
    EXPECT_EQ(companion->requests()[0].method, "POST");
    EXPECT_EQ(readAutoRun(), 1);
}

TEST_F(ServiceControlTest, HungCompanionCountsAsNotAnsweringAndGoesOnToTheRepair)
{
    // A companion that accepts and never answers: the update question is answered Yes, the
    // request gives up at the answer limit, and the repair is offered as for a companion that
    // cannot be reached, instead of the main thread waiting for ever.
    const ControlRequestLimits previous = setControlRequestLimits({std::chrono::milliseconds(2000),
                                                                   std::chrono::milliseconds(500)});
    kx::test::SilentLoopbackServer hung;
    manager_->startSucceeds = false;
    ASSERT_TRUE(writeAutoRun(0));
    prompter_->script({kAnswerYes, kAnswerYes});
    handOverUpdate("需要关闭客户端才能更新，是否立即更新？", hung.url("/upgradeMainApp?fp=a.exe"), folder(), balloon_);
    setControlRequestLimits(previous);
    ASSERT_EQ(prompter_->boxes().size(), 2u);
    EXPECT_EQ(prompter_->boxes()[1].text, "客户端服务出现异常，是否立马修复！");
    EXPECT_EQ(balloons_, std::vector<std::string>{"客户端服务修复失败，请联系管理人员！"});
    EXPECT_EQ(hung.accepted(), 1u);
}

TEST_F(ServiceControlTest, RepairFailures)
{
    // Start fails; or the service starts but still does not answer (error status).
    for (bool startSucceeds : {false, true}) {
        balloons_.clear();
        LoopbackHttpServer broken([](const RecordedRequest&) { return CannedReply{500, {}, "down"}; });
        manager_->startSucceeds = startSucceeds;
        ASSERT_TRUE(writeAutoRun(0));
        runControlRequest(broken.url("/controlMainApp?ct=2"), folder(), balloon_);
        EXPECT_EQ(balloons_, std::vector<std::string>{"客户端服务修复失败，请联系管理人员！"});
        EXPECT_EQ(broken.requests().size(), startSucceeds ? 2u : 1u);
    }
}

TEST_F(ServiceControlTest, HandOverAsksWithNoAsDefaultAndSendsOnlyOnYes)
{
    LoopbackHttpServer companion([](const RecordedRequest&) { return CannedReply{}; });
    prompter_->script({kAnswerNo, kAnswerYes});
    handOverUpdate("question?", companion.url("/controlMainApp?ct=2"), folder(), balloon_);
    EXPECT_TRUE(companion.requests().empty());
    handOverUpdate("question?", companion.url("/controlMainApp?ct=2"), folder(), balloon_);
    EXPECT_EQ(companion.requests().size(), 1u);
    for (const auto& box : prompter_->boxes()) {
        EXPECT_EQ(box.text, "question?");
        EXPECT_EQ(box.icon, BoxIcon::Question);
        EXPECT_EQ(box.defaultButton, kAnswerNo);
        EXPECT_EQ(box.buttons, BoxButtons::YesNo);
    }
    EXPECT_TRUE(balloons_.empty());
}
