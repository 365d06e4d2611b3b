#include "shell/win32/MessageBoxPrompter.h"

#include "platform/win32/WideText.h"

namespace kx::win {

UINT MessageBoxPrompter::style(const MessageBoxRequest& request)
{
    UINT s = 0;
    switch (request.icon) {
    case BoxIcon::Question: s |= MB_ICONQUESTION; break;
    case BoxIcon::Warning: s |= MB_ICONWARNING; break;
    case BoxIcon::Error: s |= MB_ICONERROR; break;
    case BoxIcon::Information: s |= MB_ICONINFORMATION; break;
    case BoxIcon::None: break;
    }
    if (request.buttons == BoxButtons::YesNo) {
        s |= MB_YESNO;
        s |= request.defaultButton == kAnswerNo ? MB_DEFBUTTON2 : MB_DEFBUTTON1;
    } else {
        s |= MB_OK;
    }
    if (request.topmost)
        s |= MB_TOPMOST;
    return s;
}

int MessageBoxPrompter::messageBox(const MessageBoxRequest& request)
{
    HWND owner = nullptr;
    if (request.ownedByMainWindow) {
        HWND main = owner_.load();
        if (main && GetWindowThreadProcessId(main, nullptr) == GetCurrentThreadId())
            owner = main;
    }
    const std::wstring text = platform::win32::wideFromUtf8(request.text);
    const std::wstring caption = platform::win32::wideFromUtf8(request.caption);
    const int answer = MessageBoxW(owner, text.c_str(), caption.c_str(), style(request));
    // IDOK, IDYES and IDNO are the answer numbers the program compares against. No box at all
    // (no desktop to show it on) answers with the default button.
    switch (answer) {
    case IDOK: return kAnswerOk;
    case IDYES: return kAnswerYes;
    case IDNO: return kAnswerNo;
    default: return request.defaultButton;
    }
}

} // namespace kx::win
