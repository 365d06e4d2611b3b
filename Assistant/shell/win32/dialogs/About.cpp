#include "shell/win32/dialogs/About.h"

#include "common/AboutInfo.h"
#include "common/Prompter.h"
#include "platform/win32/WideText.h"
#include "shell/win32/ShellResources.h"
#include "shell/win32/WindowDpi.h"

namespace kx::win {

TfrmAbout::TfrmAbout(HINSTANCE instance) : DialogFrame(instance, L"TfrmAbout", IDD_ABOUT) {}

TfrmAbout::~TfrmAbout()
{
    releaseImages();
}

void TfrmAbout::setAppFileDir(const std::string& folder)
{
    appFileDir = folder;
}

void TfrmAbout::showModal()
{
    runModal();
}

void TfrmAbout::releaseImages()
{
    if (versionFont_)
        DeleteObject(versionFont_);
    if (picture_)
        DestroyIcon(picture_);
    versionFont_ = nullptr;
    picture_ = nullptr;
}

INT_PTR TfrmAbout::handleMessage(UINT message, WPARAM wParam, LPARAM /*lParam*/, bool& handled)
{
    handled = true;
    switch (message) {
    case WM_INITDIALOG: {
        const UINT windowDpi = dpi();
        // The version line in Tahoma with 13-pixel characters (at 96 DPI; scaled with the window).
        versionFont_ = tahomaFont(13, windowDpi);
        if (versionFont_)
            SendDlgItemMessageW(hwnd(), IDC_LBLVER, WM_SETFONT, reinterpret_cast<WPARAM>(versionFont_), FALSE);
        // The application icon at its largest drawn size, centred in the picture's place.
        const int side = scaledToDpi(48, windowDpi);
        picture_ = static_cast<HICON>(
            LoadImageW(instance_, MAKEINTRESOURCEW(IDI_KESTRIX), IMAGE_ICON, side, side, LR_DEFAULTCOLOR));
        if (picture_)
            SendDlgItemMessageW(hwnd(), IDC_IMGICON, STM_SETICON, reinterpret_cast<WPARAM>(picture_), 0);
        centreOnScreen();
        FormShow();
        return TRUE;
    }
    case WM_COMMAND:
        if (HIWORD(wParam) == BN_CLICKED && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
            EndDialog(hwnd(), LOWORD(wParam)); // btn1Click; the close box and Escape do the same
            return TRUE;
        }
        break;
    case WM_NCDESTROY:
        releaseImages(); // the controls that used them are gone
        break;
    default: break;
    }
    handled = false;
    return FALSE;
}

void TfrmAbout::FormShow()
{
    bringToFront();
    try {
        setText(IDC_LBLVER, aboutVersionCaption(appFileDir));
        const HWND list = control(IDC_LSTDLLVER);
        SendMessageW(list, LB_RESETCONTENT, 0, 0);
        for (const std::string& line : aboutModuleLines(appFileDir))
            SendMessageW(list, LB_ADDSTRING, 0,
                         reinterpret_cast<LPARAM>(platform::win32::wideFromUtf8(line).c_str()));
    } catch (const std::exception& e) {
        showMessage(e.what(), BoxIcon::Error);
    }
}

} // namespace kx::win
