// TfrmMain's tray icon, menus, menu commands, settings dialogs and loading counter.
#include "Main.h"

#include "Resources.h"

#include "common/Prompter.h"
#include "common/SystemSettings.h"
#include "common/WindowMessages.h"
#include "common/WindowTable.h"
#include "settings/About.h"
#include "settings/PrintSet.h"
#include "settings/ProcessPrompt.h"
#include "settings/SystemSet.h"

#include <QAction>
#include <QIcon>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QSystemTrayIcon>
#include <QTimer>


using namespace kx;

namespace {

constexpr const char* kBalloonTitle = "提示：";
constexpr int kBalloonMilliseconds = 1000;
constexpr int kBalloonCharacters = 255;

QAction* addItem(QMenu* menu, const char* name, const char* caption)
{
    QAction* a = menu->addAction(QString::fromUtf8(caption));
    a->setObjectName(name);
    return a;
}

QIcon applicationIcon()
{
    kxEnsureResources();
    QIcon icon(QStringLiteral(":/icons/kestrix.png"));
    icon.addFile(QStringLiteral(":/icons/kestrix-large.png"));
    return icon;
}

bool windowOfClassExists(const char* className)
{
    return findWindow(className, nullptr) != 0;
}

} // namespace

void TfrmMain::createShell()
{
    pmMain = new QMenu(this);
    pmMain->setObjectName("pmMain");
    mniPrintSet = addItem(pmMain, "mniPrintSet", "打印设置");
    mniSystem = addItem(pmMain, "mniSystem", "系统设置");
    mniRestart = addItem(pmMain, "mniRestart", "重新启动");
    mnUpdate = addItem(pmMain, "mnUpdate", "检查更新");
    mniAbout = addItem(pmMain, "mniAbout", "关于");
    mniClose = addItem(pmMain, "mniClose", "退出程序");

    mmMain = new QMenuBar(this);
    mmMain->setObjectName("mmMain");
    mmMain->setVisible(false);
    QMenu* fileMenu = mmMain->addMenu(QString::fromUtf8("文件"));
    mniExit = addItem(fileMenu, "mniExit", "退出程序");
    mniReboot = addItem(fileMenu, "mniReboot", "重新启动");
    QMenu* settingsMenu = mmMain->addMenu(QString::fromUtf8("设置"));
    mniPrintSetting = addItem(settingsMenu, "mniPrintSetting", "打印设置");
    mniSys = addItem(settingsMenu, "mniSys", "系统设置");

    // Queued, so that a command runs after the menu has closed.
    const auto queued = Qt::QueuedConnection;
    for (QAction* a : {mniClose, mniExit})
        connect(a, &QAction::triggered, this, &TfrmMain::mniCloseClick, queued);
    for (QAction* a : {mniPrintSet, mniPrintSetting})
        connect(a, &QAction::triggered, this, &TfrmMain::openPrintSettings, queued);
    for (QAction* a : {mniSystem, mniSys})
        connect(a, &QAction::triggered, this, &TfrmMain::openSystemSettings, queued);
    connect(mniAbout, &QAction::triggered, this, &TfrmMain::openAbout, queued);
    for (QAction* a : {mniRestart, mniReboot})
        connect(a, &QAction::triggered, this, &TfrmMain::restartClient, queued);
    connect(mnUpdate, &QAction::triggered, this, &TfrmMain::mnUpdateClick, queued);

    // The icon exists from the start but is not visible until a notification area is found.
    trycnMain = new QSystemTrayIcon(applicationIcon(), this);
    connect(tmrTray, &QTimer::timeout, this, &TfrmMain::tmrTrayTimer);
    tmrTray->start();

    tmrTrayWatch = new QTimer(this);
    tmrTrayWatch->setObjectName("tmrTrayWatch");
    tmrTrayWatch->setInterval(300);
    connect(tmrTrayWatch, &QTimer::timeout, this, &TfrmMain::tmrTrayWatchTimer);
    tmrTrayWatch->start();
}

void TfrmMain::tmrTrayWatchTimer()
{
    // Only a loss after the icon was set up counts; while tmrTray runs it looks by itself.
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        trayLost_ = !tmrTray->isActive();
    } else if (trayLost_) {
        // This look has found the area: set the icon up now rather than one tmrTray period later.
        trayLost_ = false;
        tmrTrayTimer();
    }
}

void TfrmMain::tmrTrayTimer()
{
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return; // no notification area yet: the next tick looks again
    delete trycnMain;
    trycnMain = new QSystemTrayIcon(applicationIcon(), this);
    trycnMain->setObjectName("trycnMain");
    trycnMain->setToolTip(QString::fromUtf8(kApplicationTitle));
    trycnMain->setContextMenu(pmMain);
    trycnMain->setVisible(true);
    promptLog("客户端成功启动");
    tmrTray->stop();
}

void TfrmMain::promptLog(const std::string& message)
{
    const QString title = QString::fromUtf8(kBalloonTitle);
    const QString text = QString::fromStdString(message).left(kBalloonCharacters);
    const bool onScreen = trycnMain && trycnMain->isVisible();
    if (onScreen)
        trycnMain->showMessage(title, text, QSystemTrayIcon::NoIcon, kBalloonMilliseconds);
    emit balloonShown(title, text, onScreen);
}

void TfrmMain::removeTrayIcon()
{
    tmrTray->stop();
    tmrTrayWatch->stop();
    if (trycnMain) {
        trycnMain->hide();
        delete trycnMain;
        trycnMain = nullptr;
    }
}

void TfrmMain::mniCloseClick()
{
    if (askYesNo("确定要退出Kestrix客户端助手吗？", BoxIcon::Warning, IDYES) == IDYES)
        exitApplication();
}

void TfrmMain::openPrintSettings()
{
    if (windowOfClassExists("TfrmPrintSet"))
        return;
    TfrmPrintSet dialog;
    dialog.setAppFileDir(appFileDir_);
    dialog.exec();
}

void TfrmMain::openSystemSettings()
{
    if (windowOfClassExists("TfrmSysSet"))
        return;
    QString interval;
    {
        TfrmSysSet dialog;
        dialog.setAppFileDir(appFileDir_);
        dialog.exec();
        interval = dialog.edtInterval->text();
    }
    rearmUpdateTimer(interval);
}

void TfrmMain::openAbout()
{
    if (windowOfClassExists("TfrmAbout"))
        return;
    TfrmAbout dialog;
    dialog.setAppFileDir(appFileDir_);
    dialog.exec();
}

void TfrmMain::rearmUpdateTimer(const QString& intervalText)
{
    tmrUpApp->stop();
    int hours = 0;
    try {
        hours = updateIntervalHours(intervalText.toStdString(), appFileDir_);
    } catch (const std::exception& e) {
        showMessage(e.what(), BoxIcon::Error); // the timer stays stopped
        return;
    }
    if (hours == 0)
        return; // no automatic check
    tmrUpApp->setInterval(hours * 3600000);
    tmrUpApp->start();
}

void TfrmMain::createLoadingOverlay()
{
    loadingOverlay_ = std::make_shared<TfrmPrintPrompt>(appFileDir_);
}

void TfrmMain::loadingShow()
{
    if (loadingProcessNum == 0) {
        // A fresh overlay replaces the previous one, which is released.
        loadingOverlay_ = std::make_shared<TfrmPrintPrompt>(appFileDir_);
        loadingOverlay_->show();
    }
    ++loadingProcessNum;
}

void TfrmMain::loadingHide()
{
    --loadingProcessNum;
    if (loadingProcessNum <= 0) {
        if (loadingOverlay_)
            loadingOverlay_->close();
        loadingProcessNum = 0;
    }
}
