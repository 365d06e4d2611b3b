#pragma once
// TfrmSysSet on Windows: shows the service address and port, edits the update interval (in
// hours) and the start-with-Windows flag. A modal dialog of the class "TfrmSysSet" titled "系统设置".
//
// Keys: Return presses "确定" (which asks first) and Escape or the close box ends the dialog
// without saving, except in the interval box, where both are characters like any other and are
// refused by its filter with the hint "*请输入数字".
#include "shell/win32/dialogs/DialogFrame.h"

#include <string>

namespace kx::win {

class TfrmSysSet : public DialogFrame {
public:
    explicit TfrmSysSet(HINSTANCE instance);

    void setAppFileDir(const std::string& folder);
    void showModal();
    // edtInterval's text as it was when the dialog ended (the main window reprograms the update
    // timer from it, saved or not).
    std::string intervalText() const;

    std::string appFileDir;

protected:
    INT_PTR handleMessage(UINT message, WPARAM wParam, LPARAM lParam, bool& handled) override;

private:
    void FormShow();
    void btnOkClick();
    void btnCloseClick();
    // The character filter of the interval box: false when the character is not to be entered.
    bool edtIntervalKeyPress(wchar_t key);
    // False when sys.ini could not be written (the error has been shown).
    bool save();
    void resetInterval();

    static LRESULT CALLBACK intervalBoxProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam,
                                                 UINT_PTR id, DWORD_PTR self);

    std::string intervalText_;
};

} // namespace kx::win
