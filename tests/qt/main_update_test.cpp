// TfrmMain's update timer, manual check, restart command and update hand-over, with a scripted
// prompter, a scripted service manager and loopback servers for the update server and the
// companion service.
#include "shell/qt/Main.h"
#include "shell/qt/MainTray.h"

#include "common/Prompter.h"
#include "common/StartupValues.h"
#include "platform/AutoRunStore.h"
#include "update/ThreadUnit.h"
#include "update/UpdateSteps.h"

#include "../common/LoopbackHttpServer.h"
#include "../common/ProgramFolderFixture.h"
#include "../common/ScriptedDoubles.h"

#include <QSignalSpy>
#include <QTest>
#include <QTimer>

using namespace kx;
using kx::test::CannedReply;
using kx::test::LoopbackHttpServer;
using kx::test::RecordedRequest;

class MainUpdateTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<kx::test::TempProgramFolder> prog;
    std::string folder; // holds a blank, like a folder under "Program Files"
    std::shared_ptr<kx::test::ScriptedPrompter> prompter;
    std::shared_ptr<Prompter> previousPrompter;
    std::shared_ptr<kx::test::ScriptedServiceManager> services;
    std::shared_ptr<platform::ServiceManager> previousServices;
    std::unique_ptr<LoopbackHttpServer> companion;

    void writeSysIni(const std::string& text)
    {
        prog->write("Program Files/conf/sys.ini", text);
    }
    // The companion service listens on the service port + 2.
    void useCompanion(int status)
    {
        companion = std::make_unique<LoopbackHttpServer>(
            [status](const RecordedRequest&) { return CannedReply{status, {}, "ok"}; });
        mutableStartupValues().serviceAddress = "127.0.0.1";
        mutableStartupValues().servicePort = std::to_string(companion->port() - 2);
    }
    std::vector<std::string> companionTargets() const
    {
        std::vector<std::string> t;
        for (const auto& r : companion->requests())
            t.push_back(r.target);
        return t;
    }

private slots:
    void init()
    {
        setUpdatePause(std::chrono::milliseconds(0));
        prog = std::make_unique<kx::test::TempProgramFolder>();
        folder = prog->file("Program Files");
        writeSysIni("");
        prompter = std::make_shared<kx::test::ScriptedPrompter>();
        previousPrompter = setPrompter(prompter);
        services = std::make_shared<kx::test::ScriptedServiceManager>();
        previousServices = platform::setServiceManager(services);
        platform::setAutoRunStorePath(prog->file("flag.reg"));
        mutableStartupValues().programFolder = folder;
        useCompanion(200);
    }
    void cleanup()
    {
        QVERIFY(TUpgradeAppThread::waitUntilIdle(std::chrono::seconds(30)));
        companion.reset();
        platform::setAutoRunStorePath("");
        platform::setServiceManager(previousServices);
        setPrompter(previousPrompter);
        prog.reset();
    }

    void timerIsReArmedFromTheConfiguredInterval_data()
    {
        QTest::addColumn<QString>("ini");
        QTest::addColumn<int>("interval");
        QTest::addColumn<bool>("active");
        QTest::newRow("12 hours") << "[APP]\napplication.upgrade.timer.interval=12\n" << 43200000 << true;
        QTest::newRow("missing: 8 hours") << "" << 28800000 << true;
        QTest::newRow("empty: 8 hours") << "[APP]\napplication.upgrade.timer.interval=\n" << 28800000 << true;
        QTest::newRow("0 stops") << "[APP]\napplication.upgrade.timer.interval=0\n" << 0 << false;
    }
    void timerIsReArmedFromTheConfiguredInterval()
    {
        QFETCH(QString, ini);
        QFETCH(int, interval);
        QFETCH(bool, active);
        writeSysIni(ini.toStdString());
        TfrmMain w(folder);
        w.manualCheck = true;
        w.tmrUpAppTimer();
        QCOMPARE(w.tmrUpApp->interval(), interval);
        QCOMPARE(w.tmrUpApp->isActive(), active);
        QCOMPARE(w.manualCheck, false);
    }

    void intervalThatIsNotANumberIsReportedAndStopsTheTimer()
    {
        writeSysIni("[APP]\napplication.upgrade.timer.interval=abc\n");
        TfrmMain w(folder);
        w.tmrUpApp->start();
        w.tmrUpAppTimer();
        QVERIFY(!w.tmrUpApp->isActive());
        QVERIFY(TUpgradeAppThread::waitUntilIdle(std::chrono::seconds(30)));
        const auto boxes = prompter->boxes();
        QCOMPARE(boxes.size(), size_t(1));
        QCOMPARE(boxes[0].icon, BoxIcon::Error);
        QVERIFY(boxes[0].text.find("abc") != std::string::npos);
    }

    void twoQuickManualChecksStartOneCheck()
    {
        writeSysIni("[APP]\napplication.current.version=1.0\n"); // no update address
        TfrmMain w(folder);
        w.mnUpdateClick();
        QVERIFY(w.manualCheck);
        QCOMPARE(w.tmrUpApp->interval(), 50);
        QVERIFY(w.tmrUpApp->isActive());
        w.mnUpdateClick();
        QVERIFY(QTest::qWaitFor([&] { return !prompter->boxes().empty(); }, 10000));
        QVERIFY(TUpgradeAppThread::waitUntilIdle(std::chrono::seconds(30)));
        QTest::qWait(200);
        QCOMPARE(prompter->texts(), std::vector<std::string>{"更新服务器地址为空！"});
        QCOMPARE(w.manualCheck, false);
        QCOMPARE(w.tmrUpApp->interval(), 28800000);
    }

    void installerIsHandedOverWithBlanksEncoded()
    {
        LoopbackHttpServer updates([](const RecordedRequest&) {
            return CannedReply{200, {{"app_name", "setup 1.exe"}}, "installer bytes"};
        });
        writeSysIni("[HTTP]\nserver.update.url=" + updates.url("/upgrade/app") +
                    "\n[APP]\napplication.current.version=1.0\n");
        prompter->script({kAnswerYes});
        TfrmMain w(folder);
        w.tmrUpAppTimer();
        QVERIFY(QTest::qWaitFor([&] { return !companion->requests().empty(); }, 10000));
        QVERIFY(TUpgradeAppThread::waitUntilIdle(std::chrono::seconds(30)));

        std::string expectedPath = prog->file("Program%20Files/download/setup%201.exe");
        QCOMPARE(companionTargets(), std::vector<std::string>{"/upgradeMainApp?fp=" + expectedPath});
        QCOMPARE(companion->requests()[0].method, std::string("POST"));
        QCOMPARE(companion->requests()[0].body, std::string());
        QCOMPARE(prog->read("Program Files/download/setup 1.exe"), std::string("installer bytes"));
        const auto boxes = prompter->boxes();
        QCOMPARE(boxes.size(), size_t(1));
        QCOMPARE(boxes[0].text,
                 std::string("Kestrix客户端助手需要更新到最新版本，需要关闭客户端才能更新，是否立即更新？"));
        QCOMPARE(boxes[0].defaultButton, kAnswerNo);
        QVERIFY(boxes[0].ownedByMainWindow);
    }

    void moduleUpdateAsksForARestart_data()
    {
        QTest::addColumn<int>("answer");
        QTest::newRow("declined") << kAnswerNo;
        QTest::newRow("accepted") << kAnswerYes;
    }
    void moduleUpdateAsksForARestart()
    {
        QFETCH(int, answer);
        prog->write("Program Files/upgrade/upgrade.dat", "{}"); // a module update waits
        LoopbackHttpServer updates([](const RecordedRequest&) { return CannedReply{200, {}, ""}; });
        writeSysIni("[HTTP]\nserver.update.url=" + updates.url("/upgrade/app") +
                    "\n[APP]\napplication.current.version=1.0\n");
        prompter->script({answer});
        TfrmMain w(folder);
        w.tmrUpAppTimer();
        QVERIFY(QTest::qWaitFor([&] { return !prompter->boxes().empty(); }, 10000));
        QVERIFY(TUpgradeAppThread::waitUntilIdle(std::chrono::seconds(30)));
        QCOMPARE(prompter->texts(),
                 std::vector<std::string>{"检测到客户端组件更新，Kestrix客户端助手需要重启才能更新，是否立即更新？"});
        QCOMPARE(companionTargets(),
                 answer == kAnswerYes ? std::vector<std::string>{"/controlMainApp?ct=2"} : std::vector<std::string>{});
    }

    void restartAsksThenSendsTheRestartRequest()
    {
        TfrmMain w(folder);
        prompter->script({kAnswerNo, kAnswerYes});
        w.updates().restartClient();
        QVERIFY(companion->requests().empty());
        w.updates().restartClient();
        QCOMPARE(companionTargets(), std::vector<std::string>{"/controlMainApp?ct=2"});
        platform::writeStoredDword("AutoRun", 0);
        QCOMPARE(UpdateHandOver::repairService("KestrixAssistantServer", folder), true); // the installed manager answers
        const auto boxes = prompter->boxes();
        QCOMPARE(boxes.size(), size_t(2));
        QCOMPARE(boxes[0].text, std::string("确定要重启Kestrix客户端助手吗？"));
        QCOMPARE(boxes[0].icon, BoxIcon::Warning);
        QCOMPARE(boxes[0].defaultButton, kAnswerYes);
    }

    void unansweredRestartRepairsTheServiceThroughTheManager_data()
    {
        QTest::addColumn<bool>("startSucceeds");
        QTest::addColumn<QString>("balloon");
        QTest::newRow("repaired") << true << QString::fromUtf8("客户端服务修复成功");
        QTest::newRow("not repaired") << false << QString::fromUtf8("客户端服务修复失败，请联系管理人员！");
    }
    void unansweredRestartRepairsTheServiceThroughTheManager()
    {
        QFETCH(bool, startSucceeds);
        QFETCH(QString, balloon);
        // The companion service is down; starting it through the manager brings it up.
        const unsigned short port = kx::test::closedLoopbackPort();
        companion.reset();
        mutableStartupValues().servicePort = std::to_string(port - 2);
        services->startSucceeds = startSucceeds;
        services->onStart = [&] {
            companion = std::make_unique<LoopbackHttpServer>(
                [](const RecordedRequest&) { return CannedReply{}; }, port);
        };
        platform::writeStoredDword("AutoRun", 1);
        prompter->script({kAnswerYes, kAnswerYes});
        TfrmMain w(folder);
        QSignalSpy balloons(w.tray(), &TMainTray::balloonShown);
        w.updates().restartClient();
        QCOMPARE(prompter->texts(),
                 (std::vector<std::string>{"确定要重启Kestrix客户端助手吗？", "客户端服务出现异常，是否立马修复！"}));
        QVERIFY(std::find(services->calls.begin(), services->calls.end(), "start") != services->calls.end());
        QCOMPARE(balloons.size(), 1);
        QCOMPARE(balloons[0][1].toString(), balloon);
        QCOMPARE(platform::readStoredValue("AutoRun")->dword, 1u);
        if (startSucceeds)
            QCOMPARE(companionTargets(), std::vector<std::string>{"/controlMainApp?ct=2"});
        else
            QVERIFY(!companion);
    }

    void declinedRepairIsShownAsABalloon()
    {
        useCompanion(503);
        prompter->script({kAnswerYes, kAnswerNo});
        TfrmMain w(folder);
        QSignalSpy balloons(w.tray(), &TMainTray::balloonShown);
        w.updates().restartClient();
        QCOMPARE(balloons.size(), 1);
        QCOMPARE(balloons[0][1].toString(), QString::fromUtf8("客户端异常未修复"));
        QVERIFY(services->calls.empty());
    }

    void unreadableFlagEndsTheRepairWithAnErrorReport()
    {
        useCompanion(503);
        prompter->script({kAnswerYes, kAnswerYes});
        TfrmMain w(folder);
        w.updates().restartClient();
        const auto boxes = prompter->boxes();
        QCOMPARE(boxes.size(), size_t(3));
        QCOMPARE(boxes[2].text, std::string("Failed to get data for 'AutoRun'"));
        QCOMPARE(boxes[2].icon, BoxIcon::Error);
        QCOMPARE(services->openHandles, 0);
    }
};

QTEST_MAIN(MainUpdateTest)
#include "main_update_test.moc"
