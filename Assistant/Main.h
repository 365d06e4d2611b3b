#pragma once
// TfrmMain: the hidden main window. It runs start-up, owns the run log and the HTTP service,
// carries the tray and menus, and receives window messages on the main thread.
#include "common/RunLog.h"
#include "common/WindowTable.h"
#include "http/HttpService.h"

#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class QAction;
class QMenu;
class QMenuBar;
class QPlainTextEdit;
class QSystemTrayIcon;
class QTimer;
class TfrmPrintPrompt;

class TfrmMain : public QWidget {
    Q_OBJECT
public:
    // programFolder: where every file of the program lives (the executable's folder in the program).
    explicit TfrmMain(const std::string& programFolder, QWidget* parent = nullptr);
    ~TfrmMain() override;

    // Start-up steps, in order; called once right after construction.
    void FormCreate();

    // Appends "【hh:nn:ss】 message" to the run log (main thread only; nothing is written to disk).
    void recordLog(const std::string& message);
    // Appends the run's log lines to log/yy-mm-dd.txt; a failure is reported on standard error.
    void saveLogFile();
    // Stops the HTTP service, releases the module libraries, saves the log, removes the tray icon
    // and ends the message loop. Runs once.
    void exitApplication();

    // The window procedure: every window message for the main window runs here, on its thread.
    std::intptr_t WndProc(unsigned message, std::uintptr_t wParam, std::intptr_t lParam);

    const kx::RunLog& runLog() const { return runLog_; }
    bool httpServiceRunning() const;
    kx::WindowId windowId() const { return windowId_; }
    const std::string& appFileDir() const { return appFileDir_; }

    QPlainTextEdit* mmoMessageShow = nullptr;
    QTimer* tmrUpApp = nullptr; // application update check
    QTimer* tmrTray = nullptr;  // tray icon set-up
    bool manualCheck = false;
    std::int32_t loadingProcessNum = 0;

    // --- update check, restart and update hand-over (MainUpdate.cpp) ---
    // tmrUpApp fired: starts an update check with the pending manual flag and re-arms the timer
    // with "application.upgrade.timer.interval" hours (empty = 8, 0 = no further automatic check;
    // a value that is not a whole number is reported and leaves the timer stopped).
    void tmrUpAppTimer();
    // "检查更新": a manual check 50 ms from now; a second request before it started is ignored.
    void mnUpdateClick();
    // "重新启动": asks, then asks the companion service to restart the client.
    void restartClient();
    // Starts (registering it when missing) the companion service; true when it started.
    bool repairService(const std::string& serviceName, const std::string& programFolder);
    // WM_UPGRADE_APP (lParam: UpgradeAppRecord*) and WM_UPGRADE_DLL from an update check.
    void upgradeAppMessage(std::intptr_t lParam);
    void upgradeDllMessage();
    // Shows a companion service outcome as a tray balloon.
    std::function<void(const std::string&)> balloons();

    // --- tray, menus, dialogs and loading overlay (MainShell.cpp) ---
    // Creates the menus, the hidden tray icon and the tray timers, and starts tmrTray.
    void createShell();

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
    // Looks at the notification area every 300 ms after set-up: when it has gone away and comes
    // back, the look that finds it sets the icon up again, as after a taskbar restart. (A host
    // that is gone for less than one look is not noticed; the toolkit then re-embeds the existing
    // icon by itself.)
    QTimer* tmrTrayWatch = nullptr;
    // tmrTrayWatch's look at the notification area.
    void tmrTrayWatchTimer();

    // Puts up a fresh tray icon once a notification area exists, then stops tmrTray.
    void tmrTrayTimer();
    // A balloon titled "提示：" on the tray icon for 1000 ms, text cut to 255 characters.
    void promptLog(const std::string& message);
    // Removes the tray icon from the notification area (exit routine).
    void removeTrayIcon();

    // Menu commands.
    void mniCloseClick();
    void openPrintSettings();
    void openSystemSettings();
    void openAbout();
    // Restarts tmrUpApp with the hours in the interval box (the stored value, then 8, when empty).
    void rearmUpdateTimer(const QString& intervalText);

    // Loading counter: the overlay shows with the first open request and goes with the last.
    void loadingShow();
    void loadingHide();
    // Creates a hidden overlay as the current one (start-up).
    void createLoadingOverlay();
    TfrmPrintPrompt* loadingOverlay() const { return loadingOverlay_.get(); }

signals:
    // Every balloon request; onScreen is false while the icon is not up (nothing is seen then).
    void balloonShown(const QString& title, const QString& text, bool onScreen);

public:

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void startHttpService();
    // The caller gate from trusted.sites; logs entries it cannot read and, when neither
    // trusted.sites nor conf/update.pub is set, that every page may drive the service.
    std::shared_ptr<kx::http::CallerGate> makeCallerGate();
    void registerCaHandle();

    kx::WindowId windowId_ = 0;
    std::string appFileDir_;
    kx::RunLog runLog_;
    std::unique_ptr<kx::http::HttpService> httpService_;
    bool exited_ = false;
    // Tray and overlay state (MainShell.cpp).
    bool trayLost_ = false;
    std::shared_ptr<TfrmPrintPrompt> loadingOverlay_;
};
