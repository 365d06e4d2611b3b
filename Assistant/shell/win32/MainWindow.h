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
// This step has no tray icon, menus, dialogs or loading overlay: the run log says once that there
// is no tray, balloon texts go to the run log, and the loading counter counts without an overlay.
#include "app/AppLifecycle.h"
#include "app/UpdateHandOver.h"
#include "common/WindowTable.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
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
    // Stops the update timer, runs the exit routine (service, module libraries, log) and
    // destroys the window, which ends the message loop. Runs once.
    void exitApplication();
    // Delivers the thread's messages until the window is gone; gives the exit code.
    int runMessageLoop();

    // The window procedure of the main window, on its thread.
    LRESULT WndProc(UINT message, WPARAM wParam, LPARAM lParam);

    const AppLifecycle& lifecycle() const { return lifecycle_; }
    bool manualCheck = false;
    std::int32_t loadingProcessNum = 0;

private:
    static LRESULT CALLBACK windowProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    // tmrUpApp fired: one update check, then the timer again with the configured period.
    void tmrUpAppTimer();
    // Hands `task` to the main thread through the window's queue; dropped when the window is gone.
    void post(std::function<void()> task);

    std::string appFileDir_;
    HWND hwnd_ = nullptr;
    // Where other threads post their tasks: the window from its creation until the exit routine.
    std::atomic<HWND> taskWindow_{nullptr};
    UINT taskbarMessage_ = 0;
    WindowId windowId_ = 0;
    AppLifecycle lifecycle_;
    UpdateHandOver updates_;
    bool exited_ = false;
};

} // namespace kx::win
