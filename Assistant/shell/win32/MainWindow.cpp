#include "shell/win32/MainWindow.h"

#include "common/LoadingCount.h"
#include "common/Prompter.h"
#include "common/SystemSettings.h"
#include "common/WindowMessages.h"
#include "platform/win32/WideText.h"
#include "shell/win32/ShellResources.h"
#include "shell/win32/WindowProcedure.h"
#include "shell/win32/dialogs/About.h"
#include "shell/win32/dialogs/PrintSet.h"
#include "shell/win32/dialogs/SystemSet.h"

#include <exception>
#include <memory>
#include <stdexcept>
#include <thread>
#include <utility>

namespace kx::win {

namespace {

// A task handed to the main thread: lParam is a heap-allocated std::function the receiver runs
// and frees.
constexpr UINT kRunTaskMessage = WM_APP + 1;
constexpr UINT_PTR kUpdateTimerId = 1;
constexpr const wchar_t* kWindowClass = L"TfrmMain";

// The window table's entry for the main window: the core's post and send become the system's.
class WindowTarget : public MessageTarget {
public:
    explicit WindowTarget(HWND window) : window_(window) {}
    void post(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override
    {
        PostMessageW(window_, message, wParam, lParam);
    }
    std::intptr_t send(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override
    {
        return SendMessageW(window_, message, wParam, lParam);
    }

private:
    HWND window_;
};

// Runs task on another thread while this one goes on delivering its messages: a request the
// task waits for may itself be waiting for this thread (a module library sending the main window
// a loading message), and the two would otherwise wait for each other forever.
void deliverWhile(const std::function<void()>& task)
{
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!done) {
        task();
        return;
    }
    std::exception_ptr failure;
    std::thread worker([&task, &failure, done] {
        try {
            task();
        } catch (...) {
            failure = std::current_exception(); // raised again on the calling thread
        }
        SetEvent(done);
    });
    bool quit = false;
    int quitCode = 0;
    while (MsgWaitForMultipleObjects(1, &done, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                quit = true;
                quitCode = static_cast<int>(msg.wParam);
                continue;
            }
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    worker.join();
    CloseHandle(done);
    if (quit)
        PostQuitMessage(quitCode); // for the message loop that runs this one
    if (failure)
        std::rethrow_exception(failure);
}

// Shows one settings dialog modally unless a window of its class exists already; `after` sees the
// dialog once it has closed. False when another one was open.
template <typename Dialog, typename After>
bool showDialogOnce(const wchar_t* windowClass, HINSTANCE instance, const std::string& programFolder, After after)
{
    if (FindWindowW(windowClass, nullptr))
        return false;
    Dialog dialog(instance);
    dialog.setAppFileDir(programFolder);
    dialog.showModal();
    after(dialog);
    return true;
}

ATOM registerWindowClass(HINSTANCE instance, WNDPROC procedure)
{
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = procedure;
    wc.hInstance = instance;
    wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_KESTRIX));
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512)); // IDC_ARROW
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    wc.lpszClassName = kWindowClass;
    return RegisterClassExW(&wc);
}

} // namespace

TfrmMain::TfrmMain(const std::string& programFolder, HINSTANCE instance)
    : appFileDir_(programFolder),
      instance_(instance),
      lifecycle_(programFolder, {}, [this](std::function<void()> task) { post(std::move(task)); }),
      updates_(programFolder, [this](const std::string& text) {
          if (tray_)
              tray_->promptLog(text);
      })
{
    if (!registerWindowClass(instance, &ownedWindowProcedure<TfrmMain>) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        throw std::runtime_error("cannot register the main window class (error " + std::to_string(GetLastError()) + ")");
    // Fixed single border with the system menu only; client area 387 x 671. Never shown.
    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU;
    RECT frame{0, 0, 387, 671};
    AdjustWindowRectEx(&frame, style, FALSE, 0);
    const std::wstring title = platform::win32::wideFromUtf8(kApplicationTitle);
    hwnd_ = CreateWindowExW(0, kWindowClass, title.c_str(), style, CW_USEDEFAULT, CW_USEDEFAULT,
                            frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr, instance, this);
    if (!hwnd_)
        throw std::runtime_error("cannot create the main window (error " + std::to_string(GetLastError()) + ")");
    windowId_ = registerWindow(kMainWindowClass, kApplicationTitle, std::make_shared<WindowTarget>(hwnd_));
    taskWindow_.store(hwnd_);
}

TfrmMain::~TfrmMain()
{
    taskWindow_.store(nullptr);
    unregisterWindow(windowId_);
    if (hwnd_)
        DestroyWindow(hwnd_);
    // Tasks still queued for the window are freed without running: their owners are going.
    MSG msg;
    while (PeekMessageW(&msg, nullptr, kRunTaskMessage, kRunTaskMessage, PM_REMOVE))
        delete reinterpret_cast<std::function<void()>*>(msg.lParam);
}

void TfrmMain::attachWindow(HWND window)
{
    hwnd_ = window;
}

void TfrmMain::detachWindow()
{
    hwnd_ = nullptr;
}

void TfrmMain::FormCreate()
{
    taskbarMessage_ = RegisterWindowMessageW(L"TaskbarCreated");
    manualCheck = false;
    loadingProcessNum = 0;
    tray_ = std::make_unique<TMainTray>(hwnd_, instance_, [this](TrayCommand c) { menuCommand(c); });
    lifecycle_.start();
    SetTimer(hwnd_, kUpdateTimerId, 1000, nullptr);
}

void TfrmMain::recordLog(const std::string& message)
{
    lifecycle_.record(message);
}

void TfrmMain::exitApplication()
{
    if (exited_)
        return;
    exited_ = true;
    Sleep(10);
    KillTimer(hwnd_, kUpdateTimerId);
    lifecycle_.exit(deliverWhile);
    if (tray_)
        tray_->removeTrayIcon();
    // Nothing finds the window any more; its destruction ends the message loop.
    taskWindow_.store(nullptr);
    unregisterWindow(windowId_);
    windowId_ = 0;
    DestroyWindow(hwnd_);
}

int TfrmMain::runMessageLoop()
{
    MSG msg;
    BOOL got;
    while ((got = GetMessageW(&msg, nullptr, 0, 0)) != 0) {
        if (got == -1)
            return 1;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}

void TfrmMain::post(std::function<void()> task)
{
    auto* queued = new std::function<void()>(std::move(task));
    HWND window = taskWindow_.load();
    if (!window || !PostMessageW(window, kRunTaskMessage, 0, reinterpret_cast<LPARAM>(queued)))
        delete queued;
}

LRESULT TfrmMain::WndProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == kRunTaskMessage) {
        std::unique_ptr<std::function<void()>> task(reinterpret_cast<std::function<void()>*>(lParam));
        (*task)();
        return 0;
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    // Explorer started (again): the tray icon is put back.
    if (taskbarMessage_ != 0 && message == taskbarMessage_) {
        if (tray_ && !exited_)
            tray_->taskbarCreated();
        return 0;
    }
    switch (message) {
    case WM_QUERYENDSESSION:
        return TRUE; // the session may end; the exit routine runs when it does
    case WM_ENDSESSION:
        // The session ends: the process is ended after this returns, so the run log is saved now.
        if (wParam)
            exitApplication();
        return 0;
    case kCloseMessage:
    case TMainTray::kTrayCallbackMessage:
    case WM_COMMAND:
    case WM_UPGRADE_APP:
    case WM_UPGRADE_DLL:
    case WM_LOADING_SHOW:
    case WM_LOADING_HIDE:
    case WM_TIMER:
        break;
    default:
        return DefWindowProcW(hwnd_, message, wParam, lParam);
    }
    // Messages that arrive while the exit routine runs are answered and otherwise ignored.
    if (exited_)
        return 0;
    switch (message) {
    case kCloseMessage:
        exitApplication();
        break;
    case TMainTray::kTrayCallbackMessage:
        if (tray_)
            tray_->trayMessage(lParam);
        break;
    case WM_COMMAND:
        if (!(tray_ && HIWORD(wParam) == 0 && tray_->command(LOWORD(wParam))))
            return DefWindowProcW(hwnd_, message, wParam, lParam);
        break;
    case WM_UPGRADE_APP:
        updates_.upgradeAppMessage(lParam);
        break;
    case WM_UPGRADE_DLL:
        updates_.upgradeDllMessage();
        break;
    case WM_LOADING_SHOW:
        loadingShow();
        break;
    case WM_LOADING_HIDE:
        loadingHide();
        break;
    case WM_TIMER:
        if (wParam == kUpdateTimerId)
            tmrUpAppTimer();
        else if (wParam == TMainTray::kTrayTimerId && tray_)
            tray_->tmrTrayTimer();
        break;
    }
    return 0;
}

void TfrmMain::createLoadingOverlay()
{
    loadingOverlay_ = std::make_unique<TfrmPrintPrompt>(instance_, appFileDir_);
}

void TfrmMain::loadingShow()
{
    if (!openLoadingRequest(loadingProcessNum))
        return;
    // A fresh overlay replaces the previous one, which is released.
    loadingOverlay_.reset();
    createLoadingOverlay();
    loadingOverlay_->show();
}

void TfrmMain::loadingHide()
{
    if (closeLoadingRequest(loadingProcessNum) && loadingOverlay_)
        SendMessageW(loadingOverlay_->handle(), WM_CLOSE, 0, 0);
}

void TfrmMain::menuCommand(TrayCommand command)
{
    switch (command) {
    case TrayCommand::Close:
        if (askYesNo("确定要退出Kestrix客户端助手吗？", BoxIcon::Warning, kAnswerYes) == kAnswerYes)
            exitApplication();
        break;
    case TrayCommand::Restart:
        updates_.restartClient();
        break;
    case TrayCommand::CheckUpdate:
        mnUpdateClick();
        break;
    case TrayCommand::PrintSettings:
        showDialogOnce<TfrmPrintSet>(L"TfrmPrintSet", instance_, appFileDir_, [](TfrmPrintSet&) {});
        break;
    case TrayCommand::SystemSettings: {
        std::string interval;
        // The update timer takes the interval box's text, saved or not, once the dialog closed.
        if (showDialogOnce<TfrmSysSet>(L"TfrmSysSet", instance_, appFileDir_,
                                       [&interval](TfrmSysSet& dialog) { interval = dialog.intervalText(); }) &&
            !exited_) // the program may have been ended while the dialog was open
            rearmUpdateTimer(interval);
        break;
    }
    case TrayCommand::About:
        showDialogOnce<TfrmAbout>(L"TfrmAbout", instance_, appFileDir_, [](TfrmAbout&) {});
        break;
    }
}

void TfrmMain::mnUpdateClick()
{
    if (manualCheck)
        return;
    manualCheck = true;
    SetTimer(hwnd_, kUpdateTimerId, 50, nullptr);
}

void TfrmMain::rearmUpdateTimer(const std::string& intervalText)
{
    KillTimer(hwnd_, kUpdateTimerId);
    int hours = 0;
    try {
        hours = updateIntervalHours(intervalText, appFileDir_);
    } catch (const std::exception& e) {
        showMessage(e.what(), BoxIcon::Error); // the timer stays stopped
        return;
    }
    if (hours > 0)
        SetTimer(hwnd_, kUpdateTimerId, static_cast<UINT>(hours) * 3600000u, nullptr);
}

void TfrmMain::tmrUpAppTimer()
{
    KillTimer(hwnd_, kUpdateTimerId);
    const std::optional<int> period = updates_.startCheck(manualCheck, windowId_);
    manualCheck = false;
    // Nothing: the error was reported and the timer stays stopped. 0: no further automatic check.
    if (period && *period > 0)
        SetTimer(hwnd_, kUpdateTimerId, static_cast<UINT>(*period), nullptr);
}

} // namespace kx::win
