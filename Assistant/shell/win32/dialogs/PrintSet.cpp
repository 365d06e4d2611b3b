#include "shell/win32/dialogs/PrintSet.h"

#include "common/PrintSettings.h"
#include "common/Prompter.h"
#include "platform/win32/WideText.h"
#include "shell/win32/ShellResources.h"
#include "shell/win32/dialogs/PrinterCatalog.h"

#include <vector>

namespace kx::win {

using platform::win32::utf8FromWide;
using platform::win32::wideFromUtf8;

namespace {

constexpr const char* kNoPrinterText = "未找到打印机，请先安装打印机";

void addItem(HWND box, const std::wstring& text, LRESULT* index = nullptr)
{
    const LRESULT i = SendMessageW(box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
    if (index)
        *index = i;
}

std::string itemText(HWND box, LRESULT index)
{
    const LRESULT length = SendMessageW(box, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == CB_ERR)
        return {};
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const LRESULT got = SendMessageW(box, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.data()));
    text.resize(got == CB_ERR ? 0 : static_cast<std::size_t>(got));
    return utf8FromWide(text);
}

} // namespace

TfrmPrintSet::TfrmPrintSet(HINSTANCE instance) : DialogFrame(instance, L"TfrmPrintSet", IDD_PRINTSET) {}

void TfrmPrintSet::setAppFileDir(const std::string& folder)
{
    appFileDir = folder;
}

void TfrmPrintSet::showModal()
{
    runModal();
}

std::string TfrmPrintSet::defaultPrinterName()
{
    PrinterCatalog& printers = printerCatalog();
    if (!printers.hasPrinters()) {
        showMessage(kNoPrinterText, BoxIcon::Question);
        return {};
    }
    return utf8FromWide(printers.systemDefaultPrinter());
}

INT_PTR TfrmPrintSet::handleMessage(UINT message, WPARAM wParam, LPARAM /*lParam*/, bool& handled)
{
    handled = true;
    switch (message) {
    case WM_INITDIALOG: {
        const HWND direction = control(IDC_CBBDIRECTION);
        addItem(direction, L"横向");
        addItem(direction, L"纵向");
        centreOnScreen();
        // FALSE: the focus has been placed on the code box.
        return FormShow() ? FALSE : TRUE;
    }
    case WM_COMMAND: {
        const int id = LOWORD(wParam);
        const int code = HIWORD(wParam);
        if (id == IDC_CBBBILLCODE && code == CBN_EDITCHANGE) {
            cbbBillCodeChange(text(IDC_CBBBILLCODE));
            return TRUE;
        }
        if (id == IDC_CBBBILLCODE && code == CBN_SELCHANGE) {
            // The box's own text changes only after this notification: the chosen item is the new text.
            const HWND box = control(IDC_CBBBILLCODE);
            const LRESULT selected = SendMessageW(box, CB_GETCURSEL, 0, 0);
            if (selected != CB_ERR)
                cbbBillCodeChange(itemText(box, selected));
            return TRUE;
        }
        if (code == BN_CLICKED) {
            switch (id) {
            case IDOK: btnOkClick(); return TRUE;
            case IDC_BTNCLOSE: btnCloseClick(); return TRUE;
            case IDCANCEL: endDialog(IDCANCEL); return TRUE; // close box or Escape: nothing saved
            default: break;
            }
        }
        break;
    }
    default: break;
    }
    handled = false;
    return FALSE;
}

bool TfrmPrintSet::FormShow()
{
    ending_ = false;
    try {
        appId = readAppId(appFileDir);
        moduleObject = Json::object();
        const std::vector<BillCode> codes = loadBillCodes(appFileDir, appId);
        const HWND box = control(IDC_CBBBILLCODE);
        filling_ = true;
        SendMessageW(box, CB_RESETCONTENT, 0, 0);
        for (const BillCode& c : codes) {
            addItem(box, wideFromUtf8(c.code));
            moduleObject[c.code] = c.moduleName;
        }
        SendMessageW(box, CB_SETCURSEL, 0, 0);
        filling_ = false;
        if (!showCode(text(IDC_CBBBILLCODE)))
            return false;
    } catch (const std::exception& e) {
        filling_ = false;
        // The failed step ends the opening: the dialog stays as far as it got, not brought to
        // the front and without moving the focus.
        showMessage(e.what(), BoxIcon::Error);
        return false;
    }
    bringToFront();
    SetFocus(control(IDC_CBBBILLCODE));
    return true;
}

void TfrmPrintSet::cbbBillCodeChange(const std::string& code)
{
    if (filling_ || ending_)
        return;
    try {
        showCode(code);
    } catch (const std::exception& e) {
        showMessage(e.what(), BoxIcon::Error);
    }
}

bool TfrmPrintSet::showCode(const std::string& code)
{
    PrinterCatalog& printers = printerCatalog();
    if (!printers.hasPrinters()) {
        showMessage(kNoPrinterText, BoxIcon::Question);
        endDialog(IDCANCEL);
        return false;
    }
    const HWND printerBox = control(IDC_CBBPRINTER);
    SendMessageW(printerBox, CB_RESETCONTENT, 0, 0);
    for (const std::wstring& name : printers.printerNames())
        addItem(printerBox, name);
    SendMessageW(printerBox, CB_SETCURSEL, 0, 0);
    fillPaperList();

    const PrintSection stored = loadPrintSection(appFileDir, appId, code);
    setText(IDC_LBLMODULENAME, readJsonString(&moduleObject, code));

    const PrintSection shown = shownPrintSection(stored);
    setText(IDC_CBBPRINTER, shown.printer.empty() ? defaultPrinterName() : shown.printer);
    setText(IDC_CBBPAPER, shown.paper);
    setText(IDC_CBBDIRECTION, shown.direction);
    setText(IDC_EDTUPMARGIN, shown.marginUp);
    setText(IDC_EDTDOWNMARGIN, shown.marginDown);
    setText(IDC_EDTLEFTMARGIN, shown.marginLeft);
    setText(IDC_EDTRIGHTMARGIN, shown.marginRight);
    setText(IDC_EDTOFFSETX, shown.offsetX);
    setText(IDC_EDTOFFSETY, shown.offsetY);
    return true;
}

void TfrmPrintSet::fillPaperList()
{
    PrinterCatalog& printers = printerCatalog();
    const TPaperInfos papers = printers.papers();
    const std::uint16_t current = printers.currentPaperId();
    const HWND box = control(IDC_CBBPAPER);
    SendMessageW(box, CB_RESETCONTENT, 0, 0);
    LRESULT selected = CB_ERR;
    for (const TPaperInfo& p : papers) {
        LRESULT index = CB_ERR;
        addItem(box, p.name(), &index);
        if (index == CB_ERR)
            continue;
        SendMessageW(box, CB_SETITEMDATA, static_cast<WPARAM>(index), p.paperID);
        if (selected == CB_ERR && current != 0 && p.paperID == current)
            selected = index;
    }
    if (selected != CB_ERR)
        SendMessageW(box, CB_SETCURSEL, static_cast<WPARAM>(selected), 0);
    addItem(box, wideFromUtf8(kCustomPaperText));
}

void TfrmPrintSet::btnOkClick()
{
    const int answer = showMessage("确定要保存当前打印设置吗？", BoxIcon::Warning, BoxButtons::YesNo, kAnswerYes);
    if (answer == kAnswerYes) {
        try {
            PrintSection s;
            s.offsetX = text(IDC_EDTOFFSETX);
            s.offsetY = text(IDC_EDTOFFSETY);
            s.marginUp = text(IDC_EDTUPMARGIN);
            s.marginDown = text(IDC_EDTDOWNMARGIN);
            s.marginLeft = text(IDC_EDTLEFTMARGIN);
            s.marginRight = text(IDC_EDTRIGHTMARGIN);
            s.printer = text(IDC_CBBPRINTER);
            s.paper = storedPaper(text(IDC_CBBPAPER));
            s.direction = text(IDC_CBBDIRECTION);
            savePrintSection(appFileDir, appId, text(IDC_CBBBILLCODE), s);
        } catch (const std::exception& e) {
            showMessage(e.what(), BoxIcon::Error);
            return; // the dialog stays open
        }
    }
    moduleObject = Json::object();
    endDialog(IDOK);
}

void TfrmPrintSet::btnCloseClick()
{
    moduleObject = Json::object();
    endDialog(IDCANCEL);
}

void TfrmPrintSet::endDialog(INT_PTR result)
{
    ending_ = true;
    EndDialog(hwnd(), result);
}

} // namespace kx::win
