#pragma once
// Driving a modal dialog of the shell as its user would: the test thread runs the dialog's modal
// loop (showModal) while a second thread finds the window by its class, reads its controls,
// presses keys and clicks buttons. Message boxes are answered by a scripted prompter.
#include "common/Prompter.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace kx::test {

// Answers message boxes from a list given in advance and records every request. The boxes are
// asked on the dialog's thread and read on the driving thread.
class ScriptedPrompter : public Prompter {
public:
    int messageBox(const MessageBoxRequest& request) override
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
        if (answers_.empty()) {
            if (request.buttons == BoxButtons::YesNo)
                ADD_FAILURE() << "unexpected question: " << request.text;
            return request.buttons == BoxButtons::YesNo ? kAnswerNo : kAnswerOk;
        }
        const int answer = answers_.front();
        answers_.pop_front();
        return answer;
    }
    void answer(std::initializer_list<int> answers)
    {
        std::lock_guard lock(mutex_);
        answers_.insert(answers_.end(), answers);
    }
    std::vector<MessageBoxRequest> requests() const
    {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    std::vector<std::string> texts() const
    {
        std::vector<std::string> out;
        for (const MessageBoxRequest& r : requests())
            out.push_back(r.text);
        return out;
    }
    std::size_t count() const
    {
        std::lock_guard lock(mutex_);
        return requests_.size();
    }

private:
    mutable std::mutex mutex_;
    std::deque<int> answers_;
    std::vector<MessageBoxRequest> requests_;
};

// Installs a ScriptedPrompter for the life of the object.
class PrompterScope {
public:
    PrompterScope() : prompts(std::make_shared<ScriptedPrompter>()), previous_(setPrompter(prompts)) {}
    ~PrompterScope() { setPrompter(previous_); }
    PrompterScope(const PrompterScope&) = delete;
    PrompterScope& operator=(const PrompterScope&) = delete;

    std::shared_ptr<ScriptedPrompter> prompts;

private:
    std::shared_ptr<Prompter> previous_;
};

// Polls until the condition holds; false when it still does not after the limit. The limit only
// bounds a test that went wrong: it is not what the test measures.
inline bool waitUntil(const std::function<bool()>& condition, int limitMs = 10000)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// The visible top-level window of this process with the class name.
inline HWND findDialog(const wchar_t* className)
{
    HWND w = FindWindowW(className, nullptr);
    while (w) {
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        if (pid == GetCurrentProcessId() && IsWindowVisible(w))
            return w;
        w = FindWindowExW(nullptr, w, className, nullptr);
    }
    return nullptr;
}

// Runs dialog.showModal() on this thread and drive(window) on another once the window is shown.
// A dialog that is still open when drive returns is closed through its close box. Gives whether
// the window was ever shown.
template <class Dialog>
bool runDialog(Dialog& dialog, const wchar_t* className, const std::function<void(HWND)>& drive)
{
    std::atomic<bool> ended{false};
    std::atomic<bool> shown{false};
    std::thread driver([&] {
        HWND window = nullptr;
        waitUntil([&] { return (window = findDialog(className)) != nullptr || ended.load(); });
        if (!window)
            return;
        shown = true;
        drive(window);
        if (IsWindow(window))
            PostMessageW(window, WM_CLOSE, 0, 0);
    });
    dialog.showModal();
    ended = true;
    driver.join();
    return shown.load();
}

inline std::string utf8(const std::wstring& wide)
{
    if (wide.empty())
        return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n, nullptr, nullptr);
    return out;
}

inline std::wstring wide(const std::string& text)
{
    if (text.empty())
        return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

// The UTF-8 text of a window of the dialog's thread (sent across threads by the system).
inline std::string textOf(HWND window)
{
    wchar_t buffer[1024] = {};
    const int n = GetWindowTextW(window, buffer, 1024);
    return utf8(std::wstring(buffer, n > 0 ? static_cast<std::size_t>(n) : 0));
}

inline std::string textOf(HWND dialog, int id)
{
    return textOf(GetDlgItem(dialog, id));
}

inline void setTextOf(HWND dialog, int id, const std::string& text)
{
    SetWindowTextW(GetDlgItem(dialog, id), wide(text).c_str());
}

inline std::vector<std::string> comboItems(HWND combo)
{
    std::vector<std::string> out;
    const LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        wchar_t buffer[256] = {};
        SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(buffer));
        out.push_back(utf8(buffer));
    }
    return out;
}

inline std::vector<std::string> listItems(HWND list)
{
    std::vector<std::string> out;
    const LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        wchar_t buffer[256] = {};
        SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(buffer));
        out.push_back(utf8(buffer));
    }
    return out;
}

// The ids of the dialog's controls in window (template) order.
inline std::vector<int> childIds(HWND dialog)
{
    std::vector<int> ids;
    for (HWND c = GetWindow(dialog, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
        ids.push_back(GetDlgCtrlID(c));
    return ids;
}

// The id of the dialog's control that holds the keyboard focus (the control itself for the edit
// inside a combo box); 0 when none.
inline int focusedId(HWND dialog)
{
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info) || !info.hwndFocus)
        return 0;
    HWND w = info.hwndFocus;
    while (w && GetParent(w) != dialog)
        w = GetParent(w);
    return w ? GetDlgCtrlID(w) : 0;
}

// The window that has the focus on the dialog's thread.
inline HWND focusedWindow(HWND dialog)
{
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info);
    return info.hwndFocus;
}

// A key pressed and released on the window, through the dialog's message loop (which handles
// Tab, Return and Escape before the control sees them).
inline void pressKey(HWND target, UINT virtualKey)
{
    const LPARAM scan = static_cast<LPARAM>(MapVirtualKeyW(virtualKey, MAPVK_VK_TO_VSC)) << 16;
    PostMessageW(target, WM_KEYDOWN, virtualKey, scan | 1);
    PostMessageW(target, WM_KEYUP, virtualKey, scan | 1 | (LPARAM(3) << 30));
}

// A character typed into a control, as the control receives it after the key was translated.
inline void typeChar(HWND control, wchar_t ch)
{
    SendMessageW(control, WM_CHAR, ch, 1);
}

inline void click(HWND dialog, int id)
{
    PostMessageW(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}

// Waits until the window is gone (the dialog ended).
inline bool waitClosed(HWND dialog)
{
    return waitUntil([&] { return !IsWindow(dialog); });
}

// The control's place in the dialog's client area, in pixels.
inline RECT placeOf(HWND dialog, int id)
{
    RECT r{};
    GetWindowRect(GetDlgItem(dialog, id), &r);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

struct Place {
    int id;
    const char* name;
    int left, top, width, height; // width/height 0: not checked (a label sized to its text)
};

// Every control within `slack` pixels of its place; only at 96 DPI, where the places are given.
inline void expectPlaces(HWND dialog, const std::vector<Place>& places, int slack = 2)
{
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);
    if (dpi != 96) {
        std::printf("layout not checked at %d DPI\n", dpi);
        return;
    }
    for (const Place& p : places) {
        const RECT r = placeOf(dialog, p.id);
        EXPECT_NEAR(r.left, p.left, slack) << p.name;
        EXPECT_NEAR(r.top, p.top, slack) << p.name;
        if (p.width) {
            EXPECT_NEAR(r.right - r.left, p.width, slack) << p.name;
        }
        if (p.height) {
            EXPECT_NEAR(r.bottom - r.top, p.height, slack) << p.name;
        }
    }
}

// The frame every settings dialog has: the caption, a thin fixed border with only the close box,
// topmost, centred on the screen, the client area's size.
inline void expectFrame(HWND dialog, const char* caption, int clientWidth, int clientHeight)
{
    EXPECT_EQ(textOf(dialog), caption);
    const LONG style = GetWindowLongW(dialog, GWL_STYLE);
    EXPECT_TRUE(style & WS_CAPTION);
    EXPECT_TRUE(style & WS_SYSMENU);
    EXPECT_FALSE(style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX));
    EXPECT_EQ(GetParent(dialog), nullptr);
    EXPECT_EQ(GetWindow(dialog, GW_OWNER), nullptr);
    EXPECT_TRUE(GetWindowLongW(dialog, GWL_EXSTYLE) & WS_EX_TOPMOST);
    RECT w{};
    GetWindowRect(dialog, &w);
    EXPECT_NEAR((w.left + w.right) / 2, GetSystemMetrics(SM_CXSCREEN) / 2, 1);
    EXPECT_NEAR((w.top + w.bottom) / 2, GetSystemMetrics(SM_CYSCREEN) / 2, 1);
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);
    if (dpi == 96) {
        RECT c{};
        GetClientRect(dialog, &c);
        EXPECT_NEAR(c.right, clientWidth, 1);
        EXPECT_NEAR(c.bottom, clientHeight, 1);
    }
}

// The focus moved along the dialog's tab stops by Tab presses: the ids visited, starting with
// the control that has the focus now.
inline std::vector<int> tabWalk(HWND dialog, int steps)
{
    std::vector<int> visited{focusedId(dialog)};
    for (int i = 0; i < steps; ++i) {
        const HWND from = focusedWindow(dialog);
        pressKey(from, VK_TAB);
        waitUntil([&] { return focusedWindow(dialog) != from; }, 3000);
        visited.push_back(focusedId(dialog));
    }
    return visited;
}

// Saves the dialog as it is on the screen to $KX_DIALOG_SHOTS/<name>.bmp when that variable names
// a folder (pictures for a person to look at; nothing is compared).
inline void saveShot(HWND dialog, const char* name)
{
    const char* folder = std::getenv("KX_DIALOG_SHOTS");
    if (!folder || !*folder)
        return;
    RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN | RDW_FRAME);
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // let the X server draw
    RECT r{};
    GetWindowRect(dialog, &r);
    const int w = r.right - r.left;
    const int h = r.bottom - r.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 24;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    const DWORD stride = static_cast<DWORD>((w * 3 + 3) & ~3);
    BITMAPFILEHEADER fh{};
    fh.bfType = 0x4D42;
    fh.bfOffBits = sizeof fh + sizeof bi.bmiHeader;
    fh.bfSize = fh.bfOffBits + stride * static_cast<DWORD>(h);
    std::ofstream out(std::filesystem::path(folder) / (std::string(name) + ".bmp"), std::ios::binary);
    out.write(reinterpret_cast<const char*>(&fh), sizeof fh);
    out.write(reinterpret_cast<const char*>(&bi.bmiHeader), sizeof bi.bmiHeader);
    out.write(static_cast<const char*>(bits), static_cast<std::streamsize>(stride * static_cast<DWORD>(h)));
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
}

inline void writeFile(const std::filesystem::path& path, const std::string& bytes)
{
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

inline std::string readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace kx::test
