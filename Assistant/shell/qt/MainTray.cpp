#include "shell/qt/MainTray.h"

#include "shell/qt/Resources.h"
#include "shell/qt/TrayHostWatch.h"
#include "common/WindowMessages.h"

#include <QAction>
#include <QGuiApplication>
#include <QIcon>
#include <QMenu>
#include <QMenuBar>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>

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

} // namespace

TMainTray::TMainTray(QWidget* window, TrayCommands commands) : QObject(window)
{
    setObjectName("trayMain");
    pmMain = new QMenu(window);
    pmMain->setObjectName("pmMain");
    mniPrintSet = addItem(pmMain, "mniPrintSet", "打印设置");
    mniSystem = addItem(pmMain, "mniSystem", "系统设置");
    mniRestart = addItem(pmMain, "mniRestart", "重新启动");
    mnUpdate = addItem(pmMain, "mnUpdate", "检查更新");
    mniAbout = addItem(pmMain, "mniAbout", "关于");
    mniClose = addItem(pmMain, "mniClose", "退出程序");

    mmMain = new QMenuBar(window);
    mmMain->setObjectName("mmMain");
    mmMain->setVisible(false);
    QMenu* fileMenu = mmMain->addMenu(QString::fromUtf8("文件"));
    mniExit = addItem(fileMenu, "mniExit", "退出程序");
    mniReboot = addItem(fileMenu, "mniReboot", "重新启动");
    QMenu* settingsMenu = mmMain->addMenu(QString::fromUtf8("设置"));
    mniPrintSetting = addItem(settingsMenu, "mniPrintSetting", "打印设置");
    mniSys = addItem(settingsMenu, "mniSys", "系统设置");

    // Queued, so that a command runs after the menu has closed.
    const auto wire = [this](std::initializer_list<QAction*> items, const std::function<void()>& command) {
        for (QAction* a : items)
            connect(a, &QAction::triggered, this, [command] { command(); }, Qt::QueuedConnection);
    };
    wire({mniClose, mniExit}, commands.close);
    wire({mniPrintSet, mniPrintSetting}, commands.printSettings);
    wire({mniSystem, mniSys}, commands.systemSettings);
    wire({mniAbout}, commands.about);
    wire({mniRestart, mniReboot}, commands.restart);
    wire({mnUpdate}, commands.checkUpdate);

    // The icon exists from the start but is not visible until a notification area is found.
    trycnMain = new QSystemTrayIcon(applicationIcon(), window);
    tmrTray = new QTimer(window);
    tmrTray->setObjectName("tmrTray");
    tmrTray->setInterval(300);
    connect(tmrTray, &QTimer::timeout, this, &TMainTray::tmrTrayTimer);
    tmrTrayWatch = new QTimer(window);
    tmrTrayWatch->setObjectName("tmrTrayWatch");
    tmrTrayWatch->setInterval(300);
    connect(tmrTrayWatch, &QTimer::timeout, this, &TMainTray::tmrTrayWatchTimer);

    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal"))
        return; // no notification area can ever appear here: nothing to look for
    hostWatch_ = new TrayHostWatch(this, [this] { trayHostAppeared(); });
    tmrTray->start();
    if (!hostWatch_->available())
        tmrTrayWatch->start();
}

TMainTray::~TMainTray() = default;

bool TMainTray::hearsTrayHosts() const
{
    return hostWatch_ && hostWatch_->available();
}

void TMainTray::stopHearingTrayHosts()
{
    delete hostWatch_;
    hostWatch_ = nullptr;
}

void TMainTray::trayHostAppeared()
{
    if (!removed_)
        tmrTrayTimer();
}

void TMainTray::tmrTrayWatchTimer()
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

void TMainTray::tmrTrayTimer()
{
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        if (hearsTrayHosts())
            tmrTray->stop(); // the host's announcement puts the icon up
        return; // otherwise the next tick looks again
    }
    QObject* window = parent();
    delete trycnMain;
    trycnMain = new QSystemTrayIcon(applicationIcon(), window);
    trycnMain->setObjectName("trycnMain");
    trycnMain->setToolTip(QString::fromUtf8(kx::kApplicationTitle));
    trycnMain->setContextMenu(pmMain);
    trycnMain->setVisible(true);
    promptLog("客户端成功启动");
    tmrTray->stop();
}

void TMainTray::promptLog(const std::string& message)
{
    const QString title = QString::fromUtf8(kBalloonTitle);
    const QString text = QString::fromStdString(message).left(kBalloonCharacters);
    const bool onScreen = trycnMain && trycnMain->isVisible();
    if (onScreen)
        trycnMain->showMessage(title, text, QSystemTrayIcon::NoIcon, kBalloonMilliseconds);
    emit balloonShown(title, text, onScreen);
}

void TMainTray::removeTrayIcon()
{
    removed_ = true;
    tmrTray->stop();
    tmrTrayWatch->stop();
    if (trycnMain) {
        trycnMain->hide();
        delete trycnMain;
        trycnMain = nullptr;
    }
}
