// kxwin: drives and reads the windows of another Windows program, for the end-to-end scripts
// under Wine. It finds windows by class (FindWindowW), reads their texts, places and styles from
// the live windows, and sends them the messages the system itself would send (a tray icon's
// callback, WM_COMMAND, keys, the taskbar's return, the end of the session).
//
//   kxwin wait CLASS [SECONDS]          waits for a visible top-level window of CLASS
//   kxwin gone CLASS [SECONDS]          waits until no visible window of CLASS is left
//   kxwin count CLASS                   prints how many visible top-level windows CLASS has
//   kxwin title CLASS                   prints the window's title
//   kxwin controls CLASS                prints each child window: class, id, text (tab-separated)
//   kxwin rect CLASS                    prints left top right bottom (screen pixels)
//   kxwin exstyle CLASS                 prints the extended style in hex
//   kxwin workarea                      prints the work area: left top right bottom
//   kxwin send CLASS MSG [W [L]]        SendMessage (numbers decimal or 0x...); prints the result
//   kxwin post CLASS MSG [W [L]]        PostMessage
//   kxwin click CLASS ID                clicks the child button with that id (BM_CLICK)
//   kxwin focus CLASS                   prints class, id and text of the control with the focus
//   kxwin key CLASS VK                  presses and releases a key in the focused control (in an
//                                       open pop-up menu: class #32768, the menu itself)
//   kxwin char CLASS TEXT               types TEXT (UTF-8) into the focused control (WM_CHAR)
//   kxwin taskbar                       broadcasts "TaskbarCreated", as a starting taskbar does
//   kxwin popup                         prints the items of the open pop-up menu, one per line
//   kxwin endsession CLASS              WM_QUERYENDSESSION, then WM_ENDSESSION as at a log-off
//
// Texts are printed in UTF-8. The exit status is 0 on success, 1 when a window is not found or a
// wait ends unmet, 2 on a usage error.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::wstring wide(const char* utf8)
{
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    std::wstring out(n > 0 ? n - 1 : 0, L'\0');
    if (n > 1)
        MultiByteToWideChar(CP_UTF8, 0, utf8, -1, out.data(), n);
    return out;
}

std::string utf8(const std::wstring& text)
{
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n - 1 : 0, '\0');
    if (n > 1)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), n, nullptr, nullptr);
    return out;
}

// Writes UTF-8 to standard output byte for byte (no code-page translation of the C runtime).
void print(const std::string& text)
{
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::wstring windowText(HWND window)
{
    // WM_GETTEXT reads another process's controls too (GetWindowTextW does not).
    wchar_t buffer[4096] = {};
    DWORD_PTR length = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG, 5000, &length);
    return buffer;
}

std::wstring className(HWND window)
{
    wchar_t buffer[256] = {};
    GetClassNameW(window, buffer, 256);
    return buffer;
}

struct Search {
    std::wstring cls;
    std::vector<HWND> found;
};

BOOL CALLBACK collectVisible(HWND window, LPARAM context)
{
    auto* search = reinterpret_cast<Search*>(context);
    if (IsWindowVisible(window) && className(window) == search->cls)
        search->found.push_back(window);
    return TRUE;
}

std::vector<HWND> visibleWindows(const std::wstring& cls)
{
    Search search{cls, {}};
    EnumWindows(collectVisible, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// The visible window of the class, else any window of it (a hidden main window).
HWND findWindow(const char* cls)
{
    const std::wstring name = wide(cls);
    const std::vector<HWND> shown = visibleWindows(name);
    return shown.empty() ? FindWindowW(name.c_str(), nullptr) : shown.front();
}

HWND required(const char* cls)
{
    HWND window = findWindow(cls);
    if (!window) {
        std::fprintf(stderr, "kxwin: no window of the class %s\n", cls);
        std::exit(1);
    }
    return window;
}

ULONG_PTR number(const char* text)
{
    return static_cast<ULONG_PTR>(std::strtoull(text, nullptr, 0));
}

bool waitFor(const char* cls, double seconds, bool present)
{
    for (int i = 0; i <= static_cast<int>(seconds * 10); ++i) {
        if (visibleWindows(wide(cls)).empty() != present)
            return true;
        Sleep(100);
    }
    return false;
}

BOOL CALLBACK listChild(HWND child, LPARAM)
{
    print(utf8(className(child)) + "\t" + std::to_string(GetDlgCtrlID(child)) + "\t" + utf8(windowText(child)) + "\n");
    return TRUE;
}

HWND focusOf(HWND window)
{
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info))
        return nullptr;
    return info.hwndFocus;
}

int usage()
{
    std::fprintf(stderr, "usage: kxwin wait|gone|count|title|controls|rect|exstyle|workarea|send|post|click|"
                         "focus|key|char|taskbar|popup|endsession|pid ...\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return usage();
    const std::string command = argv[1];
    const char* cls = argc > 2 ? argv[2] : nullptr;
    const bool needsClass = command != "workarea" && command != "taskbar" && command != "popup";
    if (needsClass && !cls)
        return usage();

    if (command == "wait" || command == "gone") {
        const double seconds = argc > 3 ? std::atof(argv[3]) : 10.0;
        return waitFor(cls, seconds, command == "wait") ? 0 : 1;
    }
    if (command == "count") {
        print(std::to_string(visibleWindows(wide(cls)).size()) + "\n");
        return 0;
    }
    if (command == "workarea") {
        RECT r{};
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &r, 0);
        print(std::to_string(r.left) + " " + std::to_string(r.top) + " " + std::to_string(r.right) + " " +
              std::to_string(r.bottom) + "\n");
        return 0;
    }
    if (command == "taskbar") {
        const UINT message = RegisterWindowMessageW(L"TaskbarCreated");
        DWORD_PTR result = 0;
        SendMessageTimeoutW(HWND_BROADCAST, message, 0, 0, SMTO_ABORTIFHUNG, 5000, &result);
        return 0;
    }
    if (command == "popup") {
        HWND menuWindow = nullptr;
        for (HWND w : visibleWindows(L"#32768"))
            menuWindow = w;
        if (!menuWindow) {
            std::fprintf(stderr, "kxwin: no pop-up menu is open\n");
            return 1;
        }
        constexpr UINT kGetMenu = 0x01E1; // MN_GETHMENU
        HMENU menu = reinterpret_cast<HMENU>(SendMessageW(menuWindow, kGetMenu, 0, 0));
        const int count = menu ? GetMenuItemCount(menu) : -1;
        if (count < 0) {
            std::fprintf(stderr, "kxwin: the pop-up menu's items cannot be read\n");
            return 1;
        }
        for (int i = 0; i < count; ++i) {
            wchar_t text[256] = {};
            GetMenuStringW(menu, static_cast<UINT>(i), text, 256, MF_BYPOSITION);
            print(utf8(text) + "\t" + std::to_string(GetMenuItemID(menu, i)) + "\n");
        }
        return 0;
    }

    if (command == "pid") {
        // The process of the window of the class, hidden ones included (the main window is).
        HWND any = FindWindowW(wide(cls).c_str(), nullptr);
        DWORD pid = 0;
        if (!any || !GetWindowThreadProcessId(any, &pid))
            return 1;
        print(std::to_string(pid) + "\n");
        return 0;
    }

    HWND window = required(cls);
    if (command == "title") {
        print(utf8(windowText(window)) + "\n");
    } else if (command == "controls") {
        EnumChildWindows(window, listChild, 0);
    } else if (command == "rect") {
        RECT r{};
        GetWindowRect(window, &r);
        print(std::to_string(r.left) + " " + std::to_string(r.top) + " " + std::to_string(r.right) + " " +
              std::to_string(r.bottom) + "\n");
    } else if (command == "exstyle") {
        char text[32];
        std::snprintf(text, sizeof text, "0x%lx\n", static_cast<unsigned long>(GetWindowLongPtrW(window, GWL_EXSTYLE)));
        print(text);
    } else if (command == "send" || command == "post") {
        if (argc < 4)
            return usage();
        const UINT message = static_cast<UINT>(number(argv[3]));
        const WPARAM w = argc > 4 ? number(argv[4]) : 0;
        const LPARAM l = argc > 5 ? static_cast<LPARAM>(number(argv[5])) : 0;
        if (command == "post")
            return PostMessageW(window, message, w, l) ? 0 : 1;
        DWORD_PTR result = 0;
        if (!SendMessageTimeoutW(window, message, w, l, SMTO_ABORTIFHUNG, 30000, &result))
            return 1;
        print(std::to_string(static_cast<long long>(result)) + "\n");
    } else if (command == "click") {
        if (argc < 4)
            return usage();
        HWND button = GetDlgItem(window, static_cast<int>(number(argv[3])));
        if (!button)
            return 1;
        PostMessageW(button, BM_CLICK, 0, 0);
    } else if (command == "focus") {
        HWND focus = focusOf(window);
        if (!focus)
            return 1;
        print(utf8(className(focus)) + "\t" + std::to_string(GetDlgCtrlID(focus)) + "\t" + utf8(windowText(focus)) + "\n");
    } else if (command == "key") {
        if (argc < 4)
            return usage();
        // A pop-up menu takes the keys of its thread's queue while it is open.
        HWND focus = className(window) == L"#32768" ? window : focusOf(window);
        if (!focus)
            return 1;
        const WPARAM vk = number(argv[3]);
        PostMessageW(focus, WM_KEYDOWN, vk, 1);
        PostMessageW(focus, WM_KEYUP, vk, static_cast<LPARAM>(0xC0000001u));
    } else if (command == "char") {
        if (argc < 4)
            return usage();
        HWND focus = focusOf(window);
        if (!focus)
            return 1;
        for (wchar_t c : wide(argv[3]))
            PostMessageW(focus, WM_CHAR, c, 1);
    } else if (command == "endsession") {
        DWORD_PTR result = 0;
        SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG, 30000, &result);
        print(std::to_string(static_cast<long long>(result)) + "\n");
        SendMessageTimeoutW(window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG, 30000, &result);
    } else {
        return usage();
    }
    return 0;
}
