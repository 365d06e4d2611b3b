#include "app/UpdateHandOver.h"

#include "common/Config.h"
#include "common/Prompter.h"
#include "common/StartupValues.h"
#include "common/TextCodec.h"
#include "common/WindowMessages.h"
#include "update/ServiceControl.h"
#include "update/ThreadUnit.h"
#include "update/UpdateTimer.h"

#include <utility>

namespace kx {

namespace {

// The application's report of an error that no handler caught: a box with the error text.
void reportError(const std::exception& e)
{
    showMessage(e.what(), BoxIcon::Error, BoxButtons::Ok, kAnswerOk);
}

std::string companionAddress(const std::string& requestPath)
{
    const StartupValues& values = startupValues();
    return controlRequestAddress(values.serviceAddress, values.servicePort, requestPath);
}

} // namespace

UpdateHandOver::UpdateHandOver(std::string programFolder, Balloon balloon)
    : programFolder_(std::move(programFolder)), balloon_(std::move(balloon))
{
}

std::optional<int> UpdateHandOver::startCheck(bool manual, WindowId window)
{
    try {
        TUpgradeAppThread::Create(programFolder_, manual, window);
        const std::string interval =
            readSysIni("APP", "application.upgrade.timer.interval", "8", programFolder_);
        return updateTimerPeriod(interval);
    } catch (const std::exception& e) {
        reportError(e);
        return std::nullopt;
    }
}

void UpdateHandOver::restartClient()
{
    if (askYesNo("确定要重启Kestrix客户端助手吗？", BoxIcon::Warning, kAnswerYes) != kAnswerYes)
        return;
    try {
        runControlRequest(companionAddress("/controlMainApp?ct=2"), programFolder_, balloon_);
    } catch (const std::exception& e) {
        reportError(e);
    }
}

bool UpdateHandOver::repairService(const std::string& serviceName, const std::string& programFolder)
{
    return kx::repairService(platform::serviceManager(), serviceName, programFolder);
}

void UpdateHandOver::upgradeAppMessage(std::intptr_t lParam)
{
    // The record and its text belong to the sending thread: copy the path before anything else.
    const auto* record = reinterpret_cast<const UpgradeAppRecord*>(lParam);
    const std::string path = record && record->path ? utf16ToUtf8(record->path) : std::string();
    try {
        handOverUpdate("Kestrix客户端助手需要更新到最新版本，需要关闭客户端才能更新，是否立即更新？",
                       companionAddress("/upgradeMainApp?fp=" + path), programFolder_, balloon_);
    } catch (const std::exception& e) {
        reportError(e);
    }
}

void UpdateHandOver::upgradeDllMessage()
{
    try {
        handOverUpdate("检测到客户端组件更新，Kestrix客户端助手需要重启才能更新，是否立即更新？",
                       companionAddress("/controlMainApp?ct=2"), programFolder_, balloon_);
    } catch (const std::exception& e) {
        reportError(e);
    }
}

} // namespace kx
