#include "shell/win32/dialogs/DialogFrame.h"

#include "platform/win32/WideText.h"
#include "shell/win32/ShellResources.h"
#include "shell/win32/WindowDpi.h"

namespace kx::win {

using platform::win32::utf8FromWide;
using platform::win32::wideFromUtf8;

namespace {

// The template names the class; the dialog manager creates the window with it. The class is the
// standard dialog's (DefDlgProcW with the dialog manager's extra bytes) plus the program's icon,
// so that FindWindowW with the class name finds an open dialog.
void registerDialogClass(HINSTANCE instance, const wchar_t* className)
{
    WNDCLASSEXW existing{};
    existing.cbSize = sizeof existing;
    if (GetClassInfoExW(instance, className, &existing))
        return;
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_DBLCLKS | CS_SAVEBITS;
    wc.lpfnWndProc = DefDlgProcW;
    wc.cbWndExtra = DLGWINDOWEXTRA;
    wc.hInstance = instance;
    wc.hIcon = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_KESTRIX), IMAGE_ICON,
                                             GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
    wc.hIconSm = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_KESTRIX), IMAGE_ICON,
                                               GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512)) /* IDC_ARROW */;
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = className;
    RegisterClassExW(&wc);
}

} // namespace

std::string windowTextUtf8(HWND window)
{
    if (!window)
        return {};
    const int length = GetWindowTextLengthW(window);
    std::wstring buffer(static_cast<std::size_t>(length) + 1, L'\0');
    const int got = GetWindowTextW(window, buffer.data(), length + 1);
    buffer.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return utf8FromWide(buffer);
}

DialogFrame::DialogFrame(HINSTANCE instance, const wchar_t* className, int templateId)
    : instance_(instance), className_(className), templateId_(templateId)
{
}

void DialogFrame::runModal()
{
    registerDialogClass(instance_, className_);
    DialogBoxParamW(instance_, MAKEINTRESOURCEW(templateId_), nullptr, dialogProcedure,
                    reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK DialogFrame::dialogProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* self = reinterpret_cast<DialogFrame*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<DialogFrame*>(lParam);
        SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        self->hwnd_ = hwnd;
    }
    if (!self)
        return FALSE;
    bool handled = false;
    const INT_PTR result = self->handleMessage(message, wParam, lParam, handled);
    if (message == WM_NCDESTROY) {
        self->hwnd_ = nullptr;
        SetWindowLongPtrW(hwnd, DWLP_USER, 0);
    }
    return handled ? result : FALSE;
}

std::string DialogFrame::text(int id) const
{
    return windowTextUtf8(control(id));
}

void DialogFrame::setText(int id, const std::string& text)
{
    SetWindowTextW(control(id), wideFromUtf8(text).c_str());
}

void DialogFrame::centreOnScreen()
{
    RECT r{};
    GetWindowRect(hwnd_, &r);
    const int width = r.right - r.left;
    const int height = r.bottom - r.top;
    const int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    SetWindowPos(hwnd_, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void DialogFrame::bringToFront()
{
    SetWindowPos(hwnd_, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    if (IsIconic(hwnd_) || IsZoomed(hwnd_))
        ShowWindow(hwnd_, SW_RESTORE);
    if (IsWindowVisible(hwnd_))
        SetForegroundWindow(hwnd_);
}

UINT DialogFrame::dpi() const
{
    return windowDpi(hwnd_);
}

} // namespace kx::win
