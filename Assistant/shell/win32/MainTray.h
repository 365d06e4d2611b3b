#pragma once
// TMainTray on Windows: the main window's notification-area icon (trycnMain), its pop-up menu
// (pmMain) and the hidden main menu (mmMain). The icon is put up once the taskbar's notification
// area exists and again after the taskbar was created anew (the registered "TaskbarCreated"
// message); tmrTray runs only while the icon is not up, so nothing wakes the program while it
// sits in the tray.
//
// Where the notification area is: the window chain Shell_TrayWnd > TrayNotifyWnd > SysPager >
// ToolbarWindow32. Shells that lay the taskbar out otherwise (Wine's, some replacement shells)
// have a Shell_TrayWnd without that chain; there the icon is put up anyway after
// kLayoutTries looks, as soon as the shell takes it.
//
// The icon's messages reach the main window as kTrayCallbackMessage (lParam: the mouse message);
// the main window hands them to trayMessage. Menu items send WM_COMMAND with their item number
// to the main window, which hands it to command(). All of it runs on the main window's thread.
#include "common/TrayMenu.h"

#include <windows.h>
// After windows.h, which it needs (and which leaves it out under WIN32_LEAN_AND_MEAN).
#include <shellapi.h>

#include <functional>
#include <string>

namespace kx::win {

class TMainTray {
public:
    static constexpr UINT kTrayCallbackMessage = WM_APP + 2;
    static constexpr UINT_PTR kTrayTimerId = 2;
    static constexpr UINT kTrayPeriodMs = 300;
    static constexpr int kLayoutTries = 10;
    // Item numbers: the pop-up menu's from kTrayMenuFirstId in table order, the main menu's from
    // kMainMenuFirstId (file menu, then settings menu).
    static constexpr UINT kTrayMenuFirstId = 1001;
    static constexpr UINT kMainMenuFirstId = 1101;

    using Commands = std::function<void(TrayCommand)>;

    // window: the main window, which owns the icon, the menus and tmrTray. tmrTray starts now.
    TMainTray(HWND window, HINSTANCE instance, Commands commands);
    ~TMainTray();
    TMainTray(const TMainTray&) = delete;
    TMainTray& operator=(const TMainTray&) = delete;

    // A balloon titled "提示：" on the icon for 1000 ms, text cut as balloonText does. Nothing is
    // seen (and nothing fails) while the icon is not up.
    void promptLog(const std::string& message);
    // tmrTray's tick: looks for the notification area and puts up a fresh icon there; then the
    // balloon "客户端成功启动" and tmrTray stops.
    void tmrTrayTimer();
    // The taskbar was created (again): tmrTray runs until the icon is back.
    void taskbarCreated();
    // The icon's callback message. Right button: the pop-up menu.
    void trayMessage(LPARAM mouseMessage);
    // WM_COMMAND from a menu: true when the item is one of ours (its command has run).
    bool command(UINT itemId);
    // Removes the icon for good and stops tmrTray (exit routine).
    void removeTrayIcon();

    bool iconUp() const { return iconUp_; }
    HMENU pmMain() const { return pmMain_; }
    HMENU mmMain() const { return mmMain_; }

private:
    // Shell_TrayWnd with the full chain (true), or without it (false with *shellFound set).
    static bool notificationAreaFound(bool* shellFound);
    bool addIcon();
    void deleteIcon();
    NOTIFYICONDATAW iconData() const;

    HWND window_;
    HICON icon_ = nullptr;
    HMENU pmMain_ = nullptr;
    HMENU mmMain_ = nullptr;
    Commands commands_;
    bool iconUp_ = false;
    bool removed_ = false;
    int looks_ = 0; // looks since tmrTray last started
};

} // namespace kx::win
