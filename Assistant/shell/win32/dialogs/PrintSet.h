#pragma once
// TfrmPrintSet on Windows: printer, paper, orientation, margins and offsets per bill code, stored
// in data\json\print.json. A modal dialog of the class "TfrmPrintSet" titled "打印设置".
//
// Keys: Return presses "确定" (which asks first); Escape and the close box end the dialog
// without saving, as "取消" does.
#include "common/Config.h"
#include "shell/win32/dialogs/DialogFrame.h"

#include <string>

namespace kx::win {

class TfrmPrintSet : public DialogFrame {
public:
    explicit TfrmPrintSet(HINSTANCE instance);

    void setAppFileDir(const std::string& folder);
    void showModal();

    // The system's default printer (UTF-8); with no printer installed, says so in a box and
    // gives "".
    std::string defaultPrinterName();

    std::string appFileDir;
    std::string appId;
    Json moduleObject; // bill code -> module name of the codes offered

protected:
    INT_PTR handleMessage(UINT message, WPARAM wParam, LPARAM lParam, bool& handled) override;

private:
    // Fills the dialog; false when the focus was not placed (the opening stopped or ended).
    bool FormShow();
    void cbbBillCodeChange(const std::string& code);
    // Fills printers, papers and the nine fields for a code; false when the dialog has ended.
    bool showCode(const std::string& code);
    void fillPaperList();
    void btnOkClick();
    void btnCloseClick();
    void endDialog(INT_PTR result);

    bool filling_ = false; // the code box is being filled by the dialog itself
    bool ending_ = false;
};

} // namespace kx::win
