#pragma once
// TfrmMain on Windows: the hidden main window, a top-level window of the class "TfrmMain" titled
// "Kestrix客户端助手" that is created and never shown. Its window procedure receives, on the main
// thread, the update hand-over messages (WM_UPGRADE_APP, WM_UPGRADE_DLL), the loading counter's
// messages (WM_LOADING_SHOW, WM_LOADING_HIDE), WM_CLOSE (the exit routine, without asking), the
// registered "TaskbarCreated" message, the update timer and the tasks other threads hand to the
// main thread. Module libraries find it with FindWindowW and send it messages with SendMessageW;
// the core reaches it through its entry in the window table, which forwards to the same calls.
// Start-up and exit are AppLifecycle's, the update hand-over UpdateHandOver's.
//
// The tray icon and the menus are TMainTray's; the menu commands run here: exit (after asking),
// restart and the update check, and the three settings dialogs, each opened only while none of its
// class exists. A log-off or shutdown (WM_ENDSESSION) runs the exit routine, so the run log is
// saved then too.
#include "app/AppLifecycle.h"
#include "app/UpdateHandOver.h"
#include "common/TrayMenu.h"
#include "common/WindowTable.h"
#include "shell/win32/LoadingOverlay.h"
#include "shell/win32/MainTray.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kx::win {

class TfrmMain {
public:
    // Registers the window class and creates the hidden window. Raises std::runtime_error when
    // either fails.
    TfrmMain(const std::string& programFolder, HINSTANCE instance);
    ~TfrmMain();
    TfrmMain(const TfrmMain&) = delete;
    TfrmMain& operator=(const TfrmMain&) = delete;

    HWND handle() const { return hwnd_; }

    // Start-up: the start-up routine, then the update timer (first check one second later).
    void FormCreate();
    // Appends "【hh:nn:ss】 message" to the run log (main thread only).
    void recordLog(const std::string& message);
    // Stops the update timer, runs the exit routine (service, module libraries, log, tray icon) and
    // destroys the window, which ends the message loop. Runs once.
    void exitApplication();
    // Creates a hidden loading overlay as the current one (start-up, right after the window).
    void createLoadingOverlay();
    TfrmPrintPrompt* loadingOverlay() const { return loadingOverlay_.get(); }
    // Runs a menu command (the tray's pop-up menu and the main menu share them).
    void menuCommand(TrayCommand command);
    // "检查更新": a manual check 50 ms from now; a second request before it started is ignored.
    void mnUpdateClick();
    // Restarts tmrUpApp with the hours in the interval box (the stored value, then 8, when empty);
    // a text that is not a whole number is reported and leaves the timer stopped.
    void rearmUpdateTimer(const std::string& intervalText);
    // Delivers the thread's messages until the window is gone; gives the exit code.
    int runMessageLoop();

    // The window procedure of the main window, on its thread.
    LRESULT WndProc(UINT message, WPARAM wParam, LPARAM lParam);
    // The window's first and last message (ownedWindowProcedure).
    void attachWindow(HWND window);
    void detachWindow();

    const AppLifecycle& lifecycle() const { return lifecycle_; }
    TMainTray* tray() const { return tray_.get(); }
    bool manualCheck = false;
    std::int32_t loadingProcessNum = 0;

private:
    // The loading counter: the overlay shows with the first open request and goes with the last.
    void loadingShow();
    void loadingHide();
    // tmrUpApp fired: one update check, then the timer again with the configured period.
    void tmrUpAppTimer();
    // Hands `task` to the main thread through the window's queue; dropped when the window is gone.
    void post(std::function<void()> task);

    std::string appFileDir_;
    HINSTANCE instance_;
    HWND hwnd_ = nullptr;
    // Where other threads post their tasks: the window from its creation until the exit routine.
    std::atomic<HWND> taskWindow_{nullptr};
    UINT taskbarMessage_ = 0;
    WindowId windowId_ = 0;
    AppLifecycle lifecycle_;
    UpdateHandOver updates_;
    std::unique_ptr<TMainTray> tray_;
    std::unique_ptr<TfrmPrintPrompt> loadingOverlay_;
    bool exited_ = false;
};

} // namespace kx::win
