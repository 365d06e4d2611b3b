#pragma once
// TfrmMain: the hidden main window. It shows the run log, receives window messages on the main
// thread, runs the update timer, opens the settings dialogs and shows the loading overlay. The
// start-up and exit routine (AppLifecycle), the tray and its menus (TMainTray) and the update
// hand-over (UpdateHandOver) are units of their own that the window wires together.
#include "app/AppLifecycle.h"
#include "app/UpdateHandOver.h"
#include "common/WindowTable.h"

#include <QWidget>

#include <cstdint>
#include <memory>
#include <string>

class QPlainTextEdit;
class QTimer;
class TMainTray;
class TfrmPrintPrompt;

class TfrmMain : public QWidget {
    Q_OBJECT
public:
    // programFolder: where every file of the program lives (the executable's folder in the program).
    explicit TfrmMain(const std::string& programFolder, QWidget* parent = nullptr);
    ~TfrmMain() override;

    // Start-up: the start-up routine, then the first update check one second later. Called once
    // right after construction.
    void FormCreate();
    // Appends "【hh:nn:ss】 message" to the run log and the window (main thread only).
    void recordLog(const std::string& message);
    // Stops the HTTP service, releases the module libraries, saves the log, removes the tray icon
    // and ends the message loop. Runs once.
    void exitApplication();

    // The window procedure: every window message for the main window runs here, on its thread.
    std::intptr_t WndProc(unsigned message, std::uintptr_t wParam, std::intptr_t lParam);

    kx::WindowId windowId() const { return windowId_; }
    kx::AppLifecycle& lifecycle() { return lifecycle_; }
    kx::UpdateHandOver& updates() { return updates_; }
    TMainTray* tray() const { return tray_; }

    QPlainTextEdit* mmoMessageShow = nullptr;
    QTimer* tmrUpApp = nullptr; // application update check
    bool manualCheck = false;
    std::int32_t loadingProcessNum = 0;

    // tmrUpApp fired: starts an update check with the pending manual flag and re-arms the timer
    // with "application.upgrade.timer.interval" hours (empty = 8, 0 = no further automatic check;
    // a value that is not a whole number is reported and leaves the timer stopped).
    void tmrUpAppTimer();
    // "检查更新": a manual check 50 ms from now; a second request before it started is ignored.
    void mnUpdateClick();
    // Restarts tmrUpApp with the hours in the interval box (the stored value, then 8, when empty).
    void rearmUpdateTimer(const QString& intervalText);

    // Menu commands.
    void mniCloseClick();
    void openPrintSettings();
    void openSystemSettings();
    void openAbout();

    // Loading counter: the overlay shows with the first open request and goes with the last.
    void loadingShow();
    void loadingHide();
    // Creates a hidden overlay as the current one (start-up).
    void createLoadingOverlay();
    TfrmPrintPrompt* loadingOverlay() const { return loadingOverlay_.get(); }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    kx::WindowId windowId_ = 0;
    std::string appFileDir_;
    kx::AppLifecycle lifecycle_;
    kx::UpdateHandOver updates_;
    TMainTray* tray_ = nullptr;
    bool exited_ = false;
    std::shared_ptr<TfrmPrintPrompt> loadingOverlay_;
};
