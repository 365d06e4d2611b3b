#include "shell/qt/MainTray.h"

#include "shell/qt/Resources.h"
#include "shell/qt/TrayHostWatch.h"
#include "common/TrayMenu.h"
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
    // Queued, so that a command runs after the menu has closed.
    const auto command = [&commands](kx::TrayCommand c) -> const std::function<void()>& {
        switch (c) {
        case kx::TrayCommand::PrintSettings: return commands.printSettings;
        case kx::TrayCommand::SystemSettings: return commands.systemSettings;
        case kx::TrayCommand::Restart: return commands.restart;
        case kx::TrayCommand::CheckUpdate: return commands.checkUpdate;
        case kx::TrayCommand::About: return commands.about;
        case kx::TrayCommand::Close: break;
        }
        return commands.close;
    };
    const auto addItems = [this, &command](QMenu* menu, const auto& entries) {
        for (const kx::MenuEntry& e : entries) {
            QAction* a = addItem(menu, e.name, e.caption);
            const std::function<void()> run = command(e.command);
            connect(a, &QAction::triggered, this, [run] { run(); }, Qt::QueuedConnection);
        }
    };
    addItems(pmMain, kx::kTrayMenu);

    mmMain = new QMenuBar(window);
    mmMain->setObjectName("mmMain");
    mmMain->setVisible(false);
    addItems(mmMain->addMenu(QString::fromUtf8(kx::kFileMenuCaption)), kx::kFileMenu);
    addItems(mmMain->addMenu(QString::fromUtf8(kx::kSettingsMenuCaption)), kx::kSettingsMenu);
    const auto named = [window](const char* name) { return window->findChild<QAction*>(name); };
    mniPrintSet = named("mniPrintSet");
    mniSystem = named("mniSystem");
    mniRestart = named("mniRestart");
    mnUpdate = named("mnUpdate");
    mniAbout = named("mniAbout");
    mniClose = named("mniClose");
    mniExit = named("mniExit");
    mniReboot = named("mniReboot");
    mniPrintSetting = named("mniPrintSetting");
    mniSys = named("mniSys");

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
    const QString title = QString::fromUtf8(kx::kBalloonTitle);
    const QString text = QString::fromStdString(kx::balloonText(message));
    const bool onScreen = trycnMain && trycnMain->isVisible();
    if (onScreen)
        trycnMain->showMessage(title, text, QSystemTrayIcon::NoIcon, kx::kBalloonMilliseconds);
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
