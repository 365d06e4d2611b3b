#pragma once
// What the three settings dialogs share: their window class, the modal run from a template, the
// frame's behaviour on opening (centred on the screen, topmost, normal state) and the UTF-8 text
// of their controls.
#include <windows.h>

#include <string>

namespace kx::win {

class DialogFrame {
public:
    DialogFrame(HINSTANCE instance, const wchar_t* className, int templateId);
    virtual ~DialogFrame() = default;
    DialogFrame(const DialogFrame&) = delete;
    DialogFrame& operator=(const DialogFrame&) = delete;

    // Runs the dialog modally without an owner; returns once it has ended and been destroyed.
    void runModal();

protected:
    // The dialog's own handling of a message; `handled` false passes it to the dialog manager.
    virtual INT_PTR handleMessage(UINT message, WPARAM wParam, LPARAM lParam, bool& handled) = 0;

    HWND hwnd() const { return hwnd_; }
    HWND control(int id) const { return GetDlgItem(hwnd_, id); }
    std::string text(int id) const;
    void setText(int id, const std::string& text);

    // Places the window in the middle of the primary screen, keeping its size.
    void centreOnScreen();
    // Topmost without moving or resizing, restored from minimised or maximised, in front.
    void bringToFront();
    // The window's DPI (96 where the system cannot tell per window).
    UINT dpi() const;

    HINSTANCE instance_;

private:
    static INT_PTR CALLBACK dialogProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

    const wchar_t* className_;
    int templateId_;
    HWND hwnd_ = nullptr;
};

// The UTF-8 text of any window (control, list item source); empty for none.
std::string windowTextUtf8(HWND window);

} // namespace kx::win
