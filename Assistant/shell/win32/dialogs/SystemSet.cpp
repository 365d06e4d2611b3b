#include "shell/win32/dialogs/SystemSet.h"

#include "common/AutoRun.h"
#include "common/Config.h"
#include "common/IntervalFilter.h"
#include "common/Prompter.h"
#include "common/SystemSettings.h"
#include "platform/win32/WideText.h"
#include "shell/win32/ShellResources.h"

#include <commctrl.h>

namespace kx::win {

namespace {

constexpr UINT_PTR kIntervalSubclassId = 1;

} // namespace

TfrmSysSet::TfrmSysSet(HINSTANCE instance) : DialogFrame(instance, L"TfrmSysSet", IDD_SYSSET) {}

void TfrmSysSet::setAppFileDir(const std::string& folder)
{
    appFileDir = folder;
}

void TfrmSysSet::showModal()
{
    runModal();
}

std::string TfrmSysSet::intervalText() const
{
    return intervalText_;
}

INT_PTR TfrmSysSet::handleMessage(UINT message, WPARAM wParam, LPARAM lParam, bool& handled)
{
    handled = true;
    switch (message) {
    case WM_INITDIALOG:
        SetWindowSubclass(control(IDC_EDTINTERVAL), intervalBoxProcedure, kIntervalSubclassId,
                          reinterpret_cast<DWORD_PTR>(this));
        centreOnScreen();
        FormShow();
        return TRUE; // the focus goes to the first control in tab order
    case WM_CTLCOLORSTATIC:
        if (reinterpret_cast<HWND>(lParam) == control(IDC_LBLHINT)) {
            const HDC dc = reinterpret_cast<HDC>(wParam);
            SetTextColor(dc, RGB(255, 0, 0));
            SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
            return reinterpret_cast<INT_PTR>(GetSysColorBrush(COLOR_BTNFACE));
        }
        break;
    case WM_COMMAND:
        if (HIWORD(wParam) != BN_CLICKED)
            break;
        switch (LOWORD(wParam)) {
        case IDOK: btnOkClick(); return TRUE;
        case IDC_BTNCLOSE: btnCloseClick(); return TRUE;
        case IDCANCEL: EndDialog(hwnd(), IDCANCEL); return TRUE; // close box or Escape: nothing saved
        default: break;
        }
        break;
    case WM_DESTROY:
        // The children still exist here: the box's last text is kept for the main window.
        intervalText_ = text(IDC_EDTINTERVAL);
        RemoveWindowSubclass(control(IDC_EDTINTERVAL), intervalBoxProcedure, kIntervalSubclassId);
        break;
    default: break;
    }
    handled = false;
    return FALSE;
}

void TfrmSysSet::FormShow()
{
    bringToFront();
    setText(IDC_LBLIP, readSysIni("HTTP", "server.ip", "127.0.0.1", appFileDir));
    setText(IDC_LBLPORT, readSysIni("HTTP", "server.port", "13526", appFileDir));
    // Shown as read: an empty value stays empty here.
    setText(IDC_EDTINTERVAL, readSysIni("APP", "application.upgrade.timer.interval", "8", appFileDir));
    bool autoRun = false;
    try {
        autoRun = readAutoRun() == 1;
    } catch (const std::exception& e) {
        showMessage(e.what(), BoxIcon::Error);
    }
    CheckDlgButton(hwnd(), IDC_CHKAUTORUN, autoRun ? BST_CHECKED : BST_UNCHECKED);
}

LRESULT CALLBACK TfrmSysSet::intervalBoxProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam,
                                                  UINT_PTR /*id*/, DWORD_PTR self)
{
    switch (message) {
    case WM_GETDLGCODE: {
        // Return and Escape are typed into the box (where the filter refuses them) instead of
        // pressing a button of the dialog.
        const auto* msg = reinterpret_cast<const MSG*>(lParam);
        LRESULT code = DefSubclassProc(hwnd, message, wParam, lParam);
        if (msg && msg->message == WM_KEYDOWN && (msg->wParam == VK_RETURN || msg->wParam == VK_ESCAPE))
            code |= DLGC_WANTMESSAGE;
        return code;
    }
    case WM_KEYDOWN:
        // The edit control itself would pass Return on to the default button (and Escape, in
        // some versions, to the dialog); here they only become the characters the filter sees.
        if (wParam == VK_RETURN || wParam == VK_ESCAPE)
            return 0;
        break;
    case WM_CHAR:
        if (!reinterpret_cast<TfrmSysSet*>(self)->edtIntervalKeyPress(static_cast<wchar_t>(wParam)))
            return 0;
        break;
    default: break;
    }
    return DefSubclassProc(hwnd, message, wParam, lParam);
}

bool TfrmSysSet::edtIntervalKeyPress(wchar_t key)
{
    const HWND box = control(IDC_EDTINTERVAL);
    const int length = GetWindowTextLengthW(box);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(box, text.data(), length + 1)));

    // Ctrl+letter arrives as its control character (Ctrl+V as 0x16), so the clipboard shortcuts
    // meet the filter like any other character.
    const std::wstring typed = key == kBackspace ? std::wstring() : std::wstring(1, key);
    DWORD start = 0;
    DWORD end = 0;
    SendMessageW(box, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
    std::wstring wouldBe;
    if (start < end && end <= text.size())
        wouldBe = text.substr(0, start) + typed + text.substr(end); // the caret is not considered
    else
        wouldBe = text + typed;

    const IntervalKeyVerdict verdict =
        filterIntervalKey(platform::win32::utf8FromWide(wouldBe), static_cast<char32_t>(key));
    if (verdict.clearBox)
        SetWindowTextW(box, L"");
    setText(IDC_LBLHINT, verdict.hint);
    return verdict.accept;
}

bool TfrmSysSet::save()
{
    try {
        saveSystemSettings(appFileDir, text(IDC_EDTINTERVAL), IsDlgButtonChecked(hwnd(), IDC_CHKAUTORUN) == BST_CHECKED);
        return true;
    } catch (const std::exception& e) {
        showMessage(e.what(), BoxIcon::Error);
        return false;
    }
}

void TfrmSysSet::resetInterval()
{
    setText(IDC_EDTINTERVAL, storedUpdateInterval(appFileDir));
}

void TfrmSysSet::btnOkClick()
{
    if (showMessage("确定要保存当前系统设置吗？", BoxIcon::Question, BoxButtons::YesNo, kAnswerYes) == kAnswerYes) {
        if (save())
            EndDialog(hwnd(), IDOK);
    } else {
        resetInterval();
    }
}

void TfrmSysSet::btnCloseClick()
{
    if (showMessage("是否要保存当前系统设置？", BoxIcon::Question, BoxButtons::YesNo, kAnswerYes) == kAnswerYes) {
        if (save())
            EndDialog(hwnd(), IDOK);
    } else {
        resetInterval();
        EndDialog(hwnd(), IDCANCEL);
    }
}

} // namespace kx::win
