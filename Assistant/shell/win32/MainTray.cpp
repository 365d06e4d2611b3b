#include "shell/win32/MainTray.h"

#include "common/WindowMessages.h"
#include "platform/win32/WideText.h"
#include "shell/win32/ShellResources.h"

#include <cwchar>
#include <utility>

namespace kx::win {

namespace {

constexpr UINT kIconId = 1;

// Copies text into a fixed field of the notification data, cut to the field, zero-terminated.
template <std::size_t N>
void copyField(wchar_t (&field)[N], const std::string& utf8)
{
    const std::wstring text = platform::win32::wideFromUtf8(utf8);
    const std::size_t n = text.size() < N - 1 ? text.size() : N - 1;
    std::wmemcpy(field, text.data(), n);
    field[n] = L'\0';
}

template <std::size_t N>
void appendItems(HMENU menu, const MenuEntry (&entries)[N], UINT firstId)
{
    for (std::size_t i = 0; i < N; ++i)
        AppendMenuW(menu, MF_STRING, firstId + static_cast<UINT>(i),
                    platform::win32::wideFromUtf8(entries[i].caption).c_str());
}

// The command of item number id in entries numbered from firstId, if it is one of them.
template <std::size_t N>
bool lookUp(const MenuEntry (&entries)[N], UINT firstId, UINT id, TrayCommand& command)
{
    if (id < firstId || id >= firstId + N)
        return false;
    command = entries[id - firstId].command;
    return true;
}

} // namespace

TMainTray::TMainTray(HWND window, HINSTANCE instance, Commands commands)
    : window_(window), commands_(std::move(commands))
{
    icon_ = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_KESTRIX), IMAGE_ICON,
                                          GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));

    pmMain_ = CreatePopupMenu();
    appendItems(pmMain_, kTrayMenu, kTrayMenuFirstId);

    // The main menu belongs to the window, which is never shown: it exists for completeness.
    mmMain_ = CreateMenu();
    HMENU fileMenu = CreatePopupMenu();
    appendItems(fileMenu, kFileMenu, kMainMenuFirstId);
    HMENU settingsMenu = CreatePopupMenu();
    appendItems(settingsMenu, kSettingsMenu, kMainMenuFirstId + static_cast<UINT>(std::size(kFileMenu)));
    AppendMenuW(mmMain_, MF_POPUP, reinterpret_cast<UINT_PTR>(fileMenu),
                platform::win32::wideFromUtf8(kFileMenuCaption).c_str());
    AppendMenuW(mmMain_, MF_POPUP, reinterpret_cast<UINT_PTR>(settingsMenu),
                platform::win32::wideFromUtf8(kSettingsMenuCaption).c_str());
    SetMenu(window_, mmMain_);

    SetTimer(window_, kTrayTimerId, kTrayPeriodMs, nullptr);
}

TMainTray::~TMainTray()
{
    removeTrayIcon();
    if (pmMain_)
        DestroyMenu(pmMain_);
    // The main menu goes with its window; destroyed here when the window let go of it first.
    if (mmMain_ && !(IsWindow(window_) && GetMenu(window_) == mmMain_))
        DestroyMenu(mmMain_);
    if (icon_)
        DestroyIcon(icon_);
}

NOTIFYICONDATAW TMainTray::iconData() const
{
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof data;
    data.hWnd = window_;
    data.uID = kIconId;
    return data;
}

bool TMainTray::notificationAreaFound(bool* shellFound)
{
    HWND tray = FindWindowW(L"Shell_TrayWnd", nullptr);
    *shellFound = tray != nullptr;
    if (!tray)
        return false;
    HWND notify = FindWindowExW(tray, nullptr, L"TrayNotifyWnd", nullptr);
    HWND pager = notify ? FindWindowExW(notify, nullptr, L"SysPager", nullptr) : nullptr;
    return pager && FindWindowExW(pager, nullptr, L"ToolbarWindow32", nullptr);
}

bool TMainTray::addIcon()
{
    NOTIFYICONDATAW data = iconData();
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.uCallbackMessage = kTrayCallbackMessage;
    data.hIcon = icon_;
    copyField(data.szTip, kApplicationTitle);
    return Shell_NotifyIconW(NIM_ADD, &data) != FALSE;
}

void TMainTray::deleteIcon()
{
    NOTIFYICONDATAW data = iconData();
    Shell_NotifyIconW(NIM_DELETE, &data);
    iconUp_ = false;
}

void TMainTray::tmrTrayTimer()
{
    if (removed_) {
        KillTimer(window_, kTrayTimerId);
        return;
    }
    ++looks_;
    bool shellFound = false;
    const bool found = notificationAreaFound(&shellFound);
    if (!found && !(shellFound && looks_ >= kLayoutTries))
        return; // the next tick looks again
    // A fresh icon replaces whatever the previous taskbar showed.
    deleteIcon();
    if (!addIcon())
        return; // the shell does not take icons yet: the next tick tries again
    iconUp_ = true;
    KillTimer(window_, kTrayTimerId);
    promptLog("客户端成功启动");
}

void TMainTray::taskbarCreated()
{
    if (removed_)
        return;
    looks_ = 0;
    SetTimer(window_, kTrayTimerId, kTrayPeriodMs, nullptr);
}

void TMainTray::promptLog(const std::string& message)
{
    if (!iconUp_)
        return;
    NOTIFYICONDATAW data = iconData();
    data.uFlags = NIF_INFO;
    copyField(data.szInfo, balloonText(message));
    copyField(data.szInfoTitle, kBalloonTitle);
    data.uTimeout = kBalloonMilliseconds;
    data.dwInfoFlags = NIIF_NONE;
    Shell_NotifyIconW(NIM_MODIFY, &data);
}

void TMainTray::trayMessage(LPARAM mouseMessage)
{
    if (mouseMessage != WM_RBUTTONUP && mouseMessage != WM_CONTEXTMENU)
        return; // no action on left click or double click
    POINT at{};
    GetCursorPos(&at);
    // The menu closes when the user clicks elsewhere only if its owner is the foreground window.
    SetForegroundWindow(window_);
    TrackPopupMenu(pmMain_, TPM_RIGHTBUTTON | TPM_BOTTOMALIGN | TPM_RIGHTALIGN, at.x, at.y, 0, window_, nullptr);
    PostMessageW(window_, WM_NULL, 0, 0);
}

bool TMainTray::command(UINT itemId)
{
    TrayCommand c{};
    const UINT settingsFirst = kMainMenuFirstId + static_cast<UINT>(std::size(kFileMenu));
    if (!lookUp(kTrayMenu, kTrayMenuFirstId, itemId, c) && !lookUp(kFileMenu, kMainMenuFirstId, itemId, c) &&
        !lookUp(kSettingsMenu, settingsFirst, itemId, c))
        return false;
    commands_(c);
    return true;
}

void TMainTray::removeTrayIcon()
{
    if (removed_)
        return;
    removed_ = true;
    KillTimer(window_, kTrayTimerId);
    deleteIcon();
}

} // namespace kx::win
