#pragma once
// TfrmAbout on Windows: the installed application version and one line per installed module
// library, from the configuration files. A modal dialog of the class "TfrmAbout" titled "关于";
// "确定", Return, Escape and the close box all close it.
#include "shell/win32/dialogs/DialogFrame.h"

#include <string>

namespace kx::win {

class TfrmAbout : public DialogFrame {
public:
    explicit TfrmAbout(HINSTANCE instance);
    ~TfrmAbout() override;

    void setAppFileDir(const std::string& folder);
    void showModal();

    std::string appFileDir;

protected:
    INT_PTR handleMessage(UINT message, WPARAM wParam, LPARAM lParam, bool& handled) override;

private:
    void FormShow();
    void releaseImages();

    HFONT versionFont_ = nullptr; // lblVer's 13-pixel Tahoma at the window's DPI
    HICON picture_ = nullptr;     // imgIcon's rendering of the application icon
};

} // namespace kx::win
