#pragma once
// TMainTray: the main window's tray icon, its pop-up menu and the hidden main menu. The icon
// exists from the start and is put up once a notification area is found; afterwards it is put up
// again whenever a notification area (re)appears. Nothing runs on a timer while nothing can change:
//  - on an X display the host's own announcement (TrayHostWatch) says when an area appears, so
//    tmrTray looks once (300 ms after start) and no timer runs after that;
//  - on platforms that cannot show a tray at all (offscreen, minimal) no timer runs;
//  - elsewhere tmrTray looks every 300 ms until the icon is up, and tmrTrayWatch every 300 ms
//    after, to notice the area going away and coming back.
// Menu commands run the functions in TrayCommands, queued so that they run after the menu closed.
#include <QObject>
#include <QString>

#include <functional>
#include <string>

class QAction;
class QMenu;
class QMenuBar;
class QSystemTrayIcon;
class QTimer;
class QWidget;
class TrayHostWatch;

struct TrayCommands {
    std::function<void()> close;          // "退出程序"
    std::function<void()> printSettings;  // "打印设置"
    std::function<void()> systemSettings; // "系统设置"
    std::function<void()> restart;        // "重新启动"
    std::function<void()> checkUpdate;    // "检查更新"
    std::function<void()> about;          // "关于"
};

class TMainTray : public QObject {
    Q_OBJECT
public:
    // window: the main window that owns the menus; tmrTray starts at once where a tray can exist.
    TMainTray(QWidget* window, TrayCommands commands);
    ~TMainTray() override;

    // A balloon titled "提示：" on the tray icon for 1000 ms, text cut to 255 characters.
    void promptLog(const std::string& message);
    // Removes the tray icon from the notification area and stops both timers (exit routine).
    void removeTrayIcon();

    // Puts up a fresh tray icon once a notification area exists, then stops tmrTray. Where the
    // host announces itself, a look that finds no area stops tmrTray too: the announcement follows.
    void tmrTrayTimer();
    // A notification area announced itself: the icon is put up in it.
    void trayHostAppeared();
    // The host's announcements are heard (an X display).
    bool hearsTrayHosts() const;
    // From now on announcements are not heard, as on platforms without them (tests).
    void stopHearingTrayHosts();
    // tmrTrayWatch's look at the notification area. (A host that is gone for less than one look is
    // not noticed; the toolkit then re-embeds the existing icon by itself.)
    void tmrTrayWatchTimer();

    QMenu* pmMain = nullptr; // the tray icon's pop-up menu
    QAction* mniPrintSet = nullptr;
    QAction* mniSystem = nullptr;
    QAction* mniRestart = nullptr;
    QAction* mnUpdate = nullptr;
    QAction* mniAbout = nullptr;
    QAction* mniClose = nullptr;
    QMenuBar* mmMain = nullptr; // the main menu (never visible)
    QAction* mniExit = nullptr;
    QAction* mniReboot = nullptr;
    QAction* mniPrintSetting = nullptr;
    QAction* mniSys = nullptr;
    QSystemTrayIcon* trycnMain = nullptr;
    QTimer* tmrTray = nullptr;      // icon set-up
    QTimer* tmrTrayWatch = nullptr; // looks for the notification area's return

signals:
    // Every balloon request; onScreen is false while the icon is not up (nothing is seen then).
    void balloonShown(const QString& title, const QString& text, bool onScreen);

private:
    bool trayLost_ = false;
    bool removed_ = false; // the exit routine took the icon away: it never comes back
    TrayHostWatch* hostWatch_ = nullptr;
};
