// TfrmMain: the update timer, the manual update check, the restart command and the hand-over of
// updates to the companion service (with its repair when it does not answer).
#include "Main.h"

#include "common/Config.h"
#include "common/Prompter.h"
#include "common/StartupValues.h"
#include "common/TextCodec.h"
#include "common/WindowMessages.h"
#include "update/ServiceControl.h"
#include "update/ThreadUnit.h"
#include "update/UpdateTimer.h"

#include <QTimer>

using namespace kx;

namespace {

// The application's report of an error that no handler caught: a box with the error text.
void reportError(const std::exception& e)
{
    showMessage(e.what(), BoxIcon::Error, BoxButtons::Ok, IDOK);
}

std::string companionAddress(const std::string& requestPath)
{
    const StartupValues& values = startupValues();
    return controlRequestAddress(values.serviceAddress, values.servicePort, requestPath);
}

} // namespace

// Outcomes of the companion service requests are shown as tray balloons.
std::function<void(const std::string&)> TfrmMain::balloons()
{
    return [this](const std::string& text) { promptLog(text); };
}

void TfrmMain::tmrUpAppTimer()
{
    tmrUpApp->stop();
    try {
        TUpgradeAppThread::Create(appFileDir_, manualCheck, windowId_);
        std::string interval = readSysIni("APP", "application.upgrade.timer.interval", "8", appFileDir_);
        manualCheck = false;
        const int period = updateTimerPeriod(interval);
        tmrUpApp->setInterval(period);
        // A period of 0 means no further automatic check (a Qt timer would fire continuously).
        if (period > 0)
            tmrUpApp->start();
    } catch (const std::exception& e) {
        manualCheck = false;
        reportError(e);
    }
}

void TfrmMain::mnUpdateClick()
{
    if (manualCheck)
        return;
    manualCheck = true;
    tmrUpApp->stop();
    tmrUpApp->setInterval(50);
    tmrUpApp->start();
}

void TfrmMain::restartClient()
{
    if (askYesNo("确定要重启Kestrix客户端助手吗？", BoxIcon::Warning, IDYES) != IDYES)
        return;
    try {
        runControlRequest(companionAddress("/controlMainApp?ct=2"), appFileDir_, balloons());
    } catch (const std::exception& e) {
        reportError(e);
    }
}

bool TfrmMain::repairService(const std::string& serviceName, const std::string& programFolder)
{
    return kx::repairService(platform::serviceManager(), serviceName, programFolder);
}

void TfrmMain::upgradeAppMessage(std::intptr_t lParam)
{
    // The record and its text belong to the sending thread: copy the path before anything else.
    const auto* record = reinterpret_cast<const UpgradeAppRecord*>(lParam);
    const std::string path = record && record->path ? utf16ToUtf8(record->path) : std::string();
    try {
        handOverUpdate("Kestrix客户端助手需要更新到最新版本，需要关闭客户端才能更新，是否立即更新？",
                       companionAddress("/upgradeMainApp?fp=" + path), appFileDir_, balloons());
    } catch (const std::exception& e) {
        reportError(e);
    }
}

void TfrmMain::upgradeDllMessage()
{
    try {
        handOverUpdate("检测到客户端组件更新，Kestrix客户端助手需要重启才能更新，是否立即更新？",
                       companionAddress("/controlMainApp?ct=2"), appFileDir_, balloons());
    } catch (const std::exception& e) {
        reportError(e);
    }
}
