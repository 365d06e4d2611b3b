// The print settings dialog as its user meets it: without a printer, with printers installed for
// the test (Wine's PostScript driver with small PPD files of the test's own), the window and its
// controls, the open / change code / save flows on print.json, and the errors it reports.
#include "DialogDriver.h"
#include "Win32TestFolder.h"

#include "common/Config.h"
#include "common/Errors.h"
#include "shell/win32/ShellResources.h"
#include "shell/win32/dialogs/PrintSet.h"
#include "shell/win32/dialogs/PrinterCatalog.h"

#include <gtest/gtest.h>

#include <winspool.h>

using namespace kx;
using namespace kx::test;

namespace {

// A PostScript printer description with the given page sizes ("Name/Shown name" and the size in
// points) and default.
std::string ppd(const std::vector<std::tuple<std::string, int, int>>& sizes, const std::string& defaultSize)
{
    std::string s = "*PPD-Adobe: \"4.3\"\n*FormatVersion: \"4.3\"\n*FileVersion: \"1.0\"\n*LanguageVersion: English\n"
                    "*LanguageEncoding: ISOLatin1\n*PCFileName: \"KXTEST.PPD\"\n*Manufacturer: \"Kestrix\"\n"
                    "*Product: \"(Kestrix Test)\"\n*ModelName: \"Kestrix Test\"\n*ShortNickName: \"Kestrix Test\"\n"
                    "*NickName: \"Kestrix Test\"\n*PSVersion: \"(3010.000) 0\"\n*LanguageLevel: \"3\"\n"
                    "*ColorDevice: False\n*DefaultColorSpace: Gray\n*FileSystem: False\n*TTRasterizer: Type42\n"
                    "*OpenUI *PageSize/Media Size: PickOne\n*DefaultPageSize: " + defaultSize + "\n";
    for (const auto& [name, w, h] : sizes)
        s += "*PageSize " + name + ": \"<</PageSize[" + std::to_string(w) + " " + std::to_string(h) + "]>>setpagedevice\"\n";
    s += "*CloseUI: *PageSize\n*DefaultPaperDimension: " + defaultSize + "\n";
    for (const auto& [name, w, h] : sizes)
        s += "*PaperDimension " + name.substr(0, name.find('/')) + ": \"" + std::to_string(w) + " " + std::to_string(h) + "\"\n";
    s += "*DefaultImageableArea: " + defaultSize + "\n";
    for (const auto& [name, w, h] : sizes)
        s += "*ImageableArea " + name.substr(0, name.find('/')) + ": \"0 0 " + std::to_string(w) + " " + std::to_string(h) + "\"\n";
    return s + "*DefaultFont: Courier\n*Font Courier: Standard \"(002.004S)\" Standard ROM\n";
}

const std::string kMainPpd = ppd({{"Letter/US Letter", 612, 792}, {"A4/A4", 595, 842}, {"KxSlip/Kx Slip 80mm", 227, 400}}, "A4");
const std::string kOtherPpd = ppd({{"Legal/US Legal", 612, 1008}, {"Executive/Executive", 522, 756}}, "Legal");

// Printers installed for a test and removed again with their drivers; the system's default
// printer is put back as it was. Each printer has a driver of its own whose data file is its
// PPD, which Wine's PostScript driver (wineps.drv) reads for the papers. Where that driver does
// not exist (Windows itself), nothing is installed and installed() is false.
class TestPrinters {
public:
    TestPrinters() { defaultBefore_ = readDevice(hadDefault_); }
    ~TestPrinters()
    {
        for (const std::wstring& name : printers_) {
            PRINTER_DEFAULTSW access{nullptr, nullptr, PRINTER_ALL_ACCESS};
            HANDLE h = nullptr;
            if (OpenPrinterW(const_cast<wchar_t*>(name.c_str()), &h, &access)) {
                DeletePrinter(h);
                ClosePrinter(h);
            }
        }
        for (const std::wstring& driver : drivers_)
            DeletePrinterDriverW(nullptr, nullptr, const_cast<wchar_t*>(driver.c_str()));
        for (const std::filesystem::path& file : files_)
            DeleteFileW(file.c_str());
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, kWindowsKey, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
            if (hadDefault_)
                RegSetValueExW(key, L"Device", 0, REG_SZ, reinterpret_cast<const BYTE*>(defaultBefore_.c_str()),
                               static_cast<DWORD>((defaultBefore_.size() + 1) * sizeof(wchar_t)));
            else
                RegDeleteValueW(key, L"Device");
            RegCloseKey(key);
        }
    }
    TestPrinters(const TestPrinters&) = delete;
    TestPrinters& operator=(const TestPrinters&) = delete;

    bool add(const std::wstring& name, const std::string& ppdText)
    {
        wchar_t directory[MAX_PATH] = {};
        DWORD needed = 0;
        if (!GetPrinterDriverDirectoryW(nullptr, nullptr, 1, reinterpret_cast<BYTE*>(directory), sizeof directory, &needed))
            return false;
        const std::wstring tag = std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(drivers_.size());
        const std::filesystem::path file = std::filesystem::path(directory) / (L"kx-test-" + tag + L".ppd");
        writeFile(file, ppdText);

        std::wstring driver = L"Kestrix Test Driver " + tag;
        std::wstring dataFile = file.wstring();
        wchar_t wineps[] = L"wineps.drv";
        wchar_t raw[] = L"RAW";
        DRIVER_INFO_3W di{};
        di.cVersion = 3;
        di.pName = driver.data();
        di.pDriverPath = wineps;
        di.pDataFile = dataFile.data();
        di.pConfigFile = wineps;
        di.pDefaultDataType = raw;
        const bool added = AddPrinterDriverExW(nullptr, 3, reinterpret_cast<BYTE*>(&di), APD_COPY_NEW_FILES);
        DeleteFileW(file.c_str()); // the system has taken its own copy
        if (!added)
            return false;
        drivers_.push_back(driver);

        std::wstring printer = name;
        wchar_t port[] = L"FILE:";
        wchar_t processor[] = L"wineps";
        PRINTER_INFO_2W pi{};
        pi.pPrinterName = printer.data();
        pi.pPortName = port;
        pi.pDriverName = driver.data();
        pi.pPrintProcessor = processor;
        pi.pDatatype = raw;
        pi.Attributes = PRINTER_ATTRIBUTE_LOCAL;
        HANDLE h = AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&pi));
        if (!h)
            return false;
        // Where the driver's copy of the PPD went, to be removed with the driver.
        needed = 0;
        GetPrinterDriverW(h, nullptr, 2, nullptr, 0, &needed);
        std::vector<BYTE> info(needed + sizeof(DRIVER_INFO_2W));
        if (GetPrinterDriverW(h, nullptr, 2, info.data(), static_cast<DWORD>(info.size()), &needed))
            files_.emplace_back(reinterpret_cast<DRIVER_INFO_2W*>(info.data())->pDataFile);
        ClosePrinter(h);
        printers_.push_back(name);
        // The driver must be able to tell its papers, or the printer is of no use here.
        return DeviceCapabilitiesW(name.c_str(), L"FILE:", DC_PAPERS, nullptr, nullptr) > 0;
    }

private:
    static constexpr const wchar_t* kWindowsKey = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows";

    static std::wstring readDevice(bool& present)
    {
        wchar_t value[1024] = {};
        DWORD size = sizeof value;
        present = RegGetValueW(HKEY_CURRENT_USER, kWindowsKey, L"Device", RRF_RT_REG_SZ, nullptr, value, &size) ==
            ERROR_SUCCESS;
        return present ? value : L"";
    }

    bool hadDefault_ = false;
    std::wstring defaultBefore_;
    std::vector<std::wstring> printers_;
    std::vector<std::wstring> drivers_;
    std::vector<std::filesystem::path> files_;
};

std::vector<std::wstring> installedPrinters()
{
    DWORD needed = 0, count = 0;
    EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 4, nullptr, 0, &needed, &count);
    std::vector<BYTE> buffer(needed + 1);
    std::vector<std::wstring> names;
    if (EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 4, buffer.data(), needed, &needed, &count))
        for (DWORD i = 0; i < count; ++i)
            names.emplace_back(reinterpret_cast<PRINTER_INFO_4W*>(buffer.data())[i].pPrinterName);
    return names;
}

const std::wstring kOther = L"Kx A Other";
const std::wstring kMain = L"Kx B 测试";
const std::string kCustom = "(自定义纸张)";

class PrintSettingsDialogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        win::resetPrinterCatalog();
        std::filesystem::create_directories(folder.path() / L"data" / L"json"); // as installed
    }
    void TearDown() override { win::resetPrinterCatalog(); }

    // The test's two printers, the second the system's default.
    void installPrinters()
    {
        if (!installedPrinters().empty())
            GTEST_SKIP() << "the system has printers of its own";
        printers = std::make_unique<TestPrinters>();
        if (!printers->add(kOther, kOtherPpd) || !printers->add(kMain, kMainPpd))
            GTEST_SKIP() << "no test printer can be installed here (Wine's PostScript driver is needed)";
        ASSERT_TRUE(SetDefaultPrinterW(kMain.c_str()));
    }

    // Opens the dialog on this thread and drives it; false when its window never showed.
    bool run(const std::function<void(HWND)>& drive)
    {
        win::TfrmPrintSet dialog(GetModuleHandleW(nullptr));
        dialog.setAppFileDir(folder.utf8());
        return runDialog(dialog, L"TfrmPrintSet", drive);
    }

    std::filesystem::path jsonFile(const wchar_t* name) const { return folder.path() / L"data" / L"json" / name; }
    std::string printJson() const { return readFile(jsonFile(L"print.json")); }

    Win32TestFolder folder;
    PrompterScope scope;
    ScriptedPrompter& prompts = *scope.prompts;
    std::unique_ptr<TestPrinters> printers;
};

// The code box's edit, where the user types.
HWND codeEdit(HWND dlg)
{
    return FindWindowExW(GetDlgItem(dlg, IDC_CBBBILLCODE), nullptr, L"Edit", nullptr);
}

} // namespace

TEST_F(PrintSettingsDialogTest, WithoutPrinterTheDialogEndsAtOnce)
{
    if (!installedPrinters().empty())
        GTEST_SKIP() << "the system has printers of its own";
    win::TfrmPrintSet dialog(GetModuleHandleW(nullptr));
    dialog.setAppFileDir(folder.utf8());
    EXPECT_FALSE(runDialog(dialog, L"TfrmPrintSet", [](HWND) {}));
    const std::vector<MessageBoxRequest> r = prompts.requests();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].text, "未找到打印机，请先安装打印机");
    EXPECT_EQ(r[0].caption, "Kestrix客户端");
    EXPECT_EQ(r[0].icon, BoxIcon::Question);
    EXPECT_EQ(r[0].buttons, BoxButtons::Ok);
    EXPECT_TRUE(r[0].topmost);
    EXPECT_FALSE(r[0].ownedByMainWindow);
    EXPECT_EQ(dialog.defaultPrinterName(), "");
    EXPECT_EQ(prompts.count(), 2u);
    EXPECT_EQ(printJson(), ""); // nothing written
}

TEST_F(PrintSettingsDialogTest, PrintersAndPapersAreTakenOncePerProcess)
{
    installPrinters();
    ASSERT_TRUE(run([&](HWND dlg) {
        saveShot(dlg, "print-settings");
        const HWND paper = GetDlgItem(dlg, IDC_CBBPAPER);
        EXPECT_EQ(comboItems(GetDlgItem(dlg, IDC_CBBPRINTER)), (std::vector<std::string>{utf8(kOther), utf8(kMain)}));
        EXPECT_EQ(textOf(dlg, IDC_CBBPRINTER), utf8(kMain)); // the default, for a blank member
        // The current printer's papers in driver order, each with its paper number, then the
        // custom paper; the box shows the custom paper for a blank member.
        EXPECT_EQ(comboItems(paper), (std::vector<std::string>{"US Letter", "A4", "Kx Slip 80mm", kCustom}));
        std::vector<LRESULT> ids;
        for (int i = 0; i < 3; ++i)
            ids.push_back(SendMessageW(paper, CB_GETITEMDATA, i, 0));
        EXPECT_EQ(ids, (std::vector<LRESULT>{DMPAPER_LETTER, DMPAPER_A4, ids[2]}));
        EXPECT_GE(ids[2], DMPAPER_USER);
        EXPECT_EQ(textOf(paper), kCustom);
        EXPECT_EQ(SendMessageW(paper, CB_GETCURSEL, 0, 0), 1); // the printer's own paper, A4
        pressKey(GetDlgItem(dlg, IDOK), VK_ESCAPE);
        EXPECT_TRUE(waitClosed(dlg));
    }));
    EXPECT_TRUE(prompts.requests().empty());

    // A printer added and another default afterwards: the list and the current printer (whose
    // papers are listed) stay as first seen; the default shown for a blank member is asked afresh.
    ASSERT_TRUE(printers->add(L"Kx C Later", kOtherPpd));
    ASSERT_TRUE(SetDefaultPrinterW(kOther.c_str()));
    ASSERT_TRUE(run([&](HWND dlg) {
        EXPECT_EQ(comboItems(GetDlgItem(dlg, IDC_CBBPRINTER)), (std::vector<std::string>{utf8(kOther), utf8(kMain)}));
        EXPECT_EQ(textOf(dlg, IDC_CBBPRINTER), utf8(kOther));
        EXPECT_EQ(comboItems(GetDlgItem(dlg, IDC_CBBPAPER)),
                  (std::vector<std::string>{"US Letter", "A4", "Kx Slip 80mm", kCustom}));
    }));

    // Looked at afresh (a restart): the new default's papers, its own paper selected.
    win::resetPrinterCatalog();
    ASSERT_TRUE(run([&](HWND dlg) {
        EXPECT_EQ(comboItems(GetDlgItem(dlg, IDC_CBBPRINTER)).size(), 3u);
        const HWND paper = GetDlgItem(dlg, IDC_CBBPAPER);
        EXPECT_EQ(comboItems(paper), (std::vector<std::string>{"US Legal", "Executive", kCustom}));
        EXPECT_EQ(SendMessageW(paper, CB_GETCURSEL, 0, 0), 0); // US Legal
    }));
    win::TfrmPrintSet dialog(GetModuleHandleW(nullptr));
    EXPECT_EQ(dialog.defaultPrinterName(), utf8(kOther));

    // No default printer at all (the last one named was the second): the first listed is the
    // current printer and stands in for the default.
    ASSERT_TRUE(SetDefaultPrinterW(kMain.c_str()));
    ASSERT_EQ(RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows", L"Device"),
              ERROR_SUCCESS);
    win::resetPrinterCatalog();
    ASSERT_TRUE(run([&](HWND dlg) {
        EXPECT_EQ(textOf(dlg, IDC_CBBPRINTER), utf8(kOther));
        EXPECT_EQ(comboItems(GetDlgItem(dlg, IDC_CBBPAPER)), (std::vector<std::string>{"US Legal", "Executive", kCustom}));
    }));
}

TEST_F(PrintSettingsDialogTest, FirstOpenCreatesTheFilesShowsDefaultsAndSaves)
{
    installPrinters();
    prompts.answer({kAnswerYes});
    ASSERT_TRUE(run([&](HWND dlg) {
        for (const wchar_t* f : {L"application.json", L"bill.json", L"print.json"}) {
            EXPECT_TRUE(std::filesystem::exists(jsonFile(f)));
            EXPECT_EQ(readFile(jsonFile(f)), "");
        }
        expectFrame(dlg, "打印设置", 499, 370);
        EXPECT_EQ(childIds(dlg),
                  (std::vector<int>{IDC_GRPSET, IDC_LBLBILLCODE, IDC_CBBBILLCODE, IDC_LBL11, IDC_LBLMODULENAME,
                                    IDC_GRPPRINTER, IDC_LBLPRINTER, IDC_CBBPRINTER, IDC_LBLPAPER, IDC_CBBPAPER,
                                    IDC_LBLDIRECTION, IDC_CBBDIRECTION, IDC_GRPMARGIN, IDC_LBLUPMARGIN, IDC_EDTUPMARGIN,
                                    IDC_LBLDOWNMARGIN, IDC_EDTDOWNMARGIN, IDC_LBLLEFTMARGIN, IDC_EDTLEFTMARGIN,
                                    IDC_LBLRIGHTMARGIN, IDC_EDTRIGHTMARGIN, IDC_GRPOFFSET, IDC_LBLOFFSETX, IDC_EDTOFFSETX,
                                    IDC_LBLOFFSETY, IDC_EDTOFFSETY, IDOK, IDC_BTNCLOSE}));
        const std::vector<std::pair<int, std::string>> shown{
            {IDC_GRPSET, ""},
            {IDC_LBLBILLCODE, "模块编号"},
            {IDC_CBBBILLCODE, "00000000"},
            {IDC_LBL11, "模块名称"},
            {IDC_LBLMODULENAME, "00000000"},
            {IDC_GRPPRINTER, "打印机"},
            {IDC_LBLPRINTER, "打印机"},
            {IDC_CBBPRINTER, utf8(kMain)},
            {IDC_LBLPAPER, "纸张"},
            {IDC_CBBPAPER, kCustom},
            {IDC_LBLDIRECTION, "方向"},
            {IDC_CBBDIRECTION, "纵向"},
            {IDC_GRPMARGIN, "页边距（厘米）"},
            {IDC_LBLUPMARGIN, "上边距"},
            {IDC_LBLDOWNMARGIN, "下边距"},
            {IDC_LBLLEFTMARGIN, "左边距"},
            {IDC_LBLRIGHTMARGIN, "右边距"},
            {IDC_GRPOFFSET, "偏移量（厘米）"},
            {IDC_LBLOFFSETX, "横向偏移"},
            {IDC_LBLOFFSETY, "纵向偏移"},
            {IDOK, "确定"},
            {IDC_BTNCLOSE, "取消"},
        };
        for (const auto& [id, text] : shown)
            EXPECT_EQ(textOf(dlg, id), text) << id;
        for (int id : {IDC_EDTUPMARGIN, IDC_EDTDOWNMARGIN, IDC_EDTLEFTMARGIN, IDC_EDTRIGHTMARGIN, IDC_EDTOFFSETX, IDC_EDTOFFSETY})
            EXPECT_EQ(textOf(dlg, id), "0") << id;
        EXPECT_EQ(comboItems(GetDlgItem(dlg, IDC_CBBBILLCODE)), std::vector<std::string>{"00000000"});
        EXPECT_EQ(comboItems(GetDlgItem(dlg, IDC_CBBDIRECTION)), (std::vector<std::string>{"横向", "纵向"}));
        for (int id : {IDC_CBBBILLCODE, IDC_CBBPRINTER, IDC_CBBPAPER, IDC_CBBDIRECTION})
            EXPECT_EQ(GetWindowLongW(GetDlgItem(dlg, id), GWL_STYLE) & 3, CBS_DROPDOWN) << id;
        EXPECT_EQ(LOWORD(SendMessageW(dlg, DM_GETDEFID, 0, 0)), IDOK);

        // Places: the group boxes' offsets added to their rows (grpSet 10, 11; the inner groups
        // 10 further in and 81, 198 and 285 down).
        expectPlaces(dlg, {{IDC_GRPSET, "grpSet", 10, 11, 359, 347},
                           {IDC_LBLBILLCODE, "lblBillCode", 20, 27, 0, 0},
                           {IDC_CBBBILLCODE, "cbbBillCode", 92, 24, 255, 21},
                           {IDC_LBL11, "lbl11", 20, 56, 0, 0},
                           {IDC_LBLMODULENAME, "lblModuleName", 92, 56, 0, 0},
                           {IDC_GRPPRINTER, "grpPrinter", 20, 92, 337, 101},
                           {IDC_LBLPRINTER, "lblPrinter", 40, 109, 0, 0},
                           {IDC_CBBPRINTER, "cbbPrinter", 92, 106, 255, 21},
                           {IDC_LBLPAPER, "lblPaper", 40, 135, 0, 0},
                           {IDC_CBBPAPER, "cbbPaper", 92, 132, 255, 21},
                           {IDC_LBLDIRECTION, "lblDirection", 40, 162, 0, 0},
                           {IDC_CBBDIRECTION, "cbbDirection", 92, 159, 255, 21},
                           {IDC_GRPMARGIN, "grpMargin", 20, 209, 337, 71},
                           {IDC_LBLUPMARGIN, "lblUpMargin", 40, 226, 0, 0},
                           {IDC_EDTUPMARGIN, "edtUpMargin", 92, 223, 70, 21},
                           {IDC_LBLDOWNMARGIN, "lblDownMargin", 201, 226, 0, 0},
                           {IDC_EDTDOWNMARGIN, "edtDownMargin", 254, 223, 70, 21},
                           {IDC_LBLLEFTMARGIN, "lblLeftMargin", 40, 252, 0, 0},
                           {IDC_EDTLEFTMARGIN, "edtLeftMargin", 92, 249, 70, 21},
                           {IDC_LBLRIGHTMARGIN, "lblRightMargin", 201, 252, 0, 0},
                           {IDC_EDTRIGHTMARGIN, "edtRightMargin", 254, 249, 70, 21},
                           {IDC_GRPOFFSET, "grpOffset", 20, 296, 337, 52},
                           {IDC_LBLOFFSETX, "lblOffsetX", 40, 317, 0, 0},
                           {IDC_EDTOFFSETX, "edtOffsetX", 92, 314, 70, 21},
                           {IDC_LBLOFFSETY, "lblOffsetY", 201, 317, 0, 0},
                           {IDC_EDTOFFSETY, "edtOffsetY", 254, 314, 70, 21},
                           {IDOK, "btnOk", 385, 35, 83, 25},
                           {IDC_BTNCLOSE, "btnClose", 385, 86, 83, 24}});

        // The focus starts on the code box; Tab goes through the groups' rows, then the buttons.
        EXPECT_EQ(tabWalk(dlg, 12),
                  (std::vector<int>{IDC_CBBBILLCODE, IDC_CBBPRINTER, IDC_CBBPAPER, IDC_CBBDIRECTION, IDC_EDTUPMARGIN,
                                    IDC_EDTDOWNMARGIN, IDC_EDTLEFTMARGIN, IDC_EDTRIGHTMARGIN, IDC_EDTOFFSETX,
                                    IDC_EDTOFFSETY, IDOK, IDC_BTNCLOSE, IDC_CBBBILLCODE}));

        click(dlg, IDOK);
        EXPECT_TRUE(waitClosed(dlg));
    }));
    const std::vector<MessageBoxRequest> r = prompts.requests();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].text, "确定要保存当前打印设置吗？");
    EXPECT_EQ(r[0].icon, BoxIcon::Warning);
    EXPECT_EQ(r[0].buttons, BoxButtons::YesNo);
    EXPECT_EQ(printJson(), R"({"00000000_PRINTER":{"OffsetX":"0","OffsetY":"0","MarginUp":"0","MarginDown":"0",)"
                           R"("MarginLeft":"0","MarginRight":"0","Printer":"Kx B 测试","Paper":"","Direction":"纵向"}})");
}

TEST_F(PrintSettingsDialogTest, CodesShowAndSaveTheirOwnSections)
{
    installPrinters();
    writeFile(jsonFile(L"application.json"), R"({"AppId":"A"})");
    writeFile(jsonFile(L"bill.json"), R"({"A":{"12345678":"出库单","00000000":"not shown","55":""},"B":{"9":"x"}})");
    writeFile(jsonFile(L"print.json"),
              R"({"00000000_PRINTER":{"Printer":"P0"},"A":{"55_PRINTER":{"Direction":"横向","Paper":"A4","MarginUp":"2"}},"keep":true})");

    prompts.answer({kAnswerYes});
    ASSERT_TRUE(run([&](HWND dlg) {
        const HWND edit = codeEdit(dlg);
        ASSERT_NE(edit, nullptr);
        EXPECT_EQ(comboItems(GetDlgItem(dlg, IDC_CBBBILLCODE)), (std::vector<std::string>{"00000000", "12345678", "55"}));
        EXPECT_EQ(textOf(dlg, IDC_CBBPRINTER), "P0");

        // Chosen from the list by the arrow key: "55", whose module name falls back to the code.
        pressKey(edit, VK_DOWN);
        ASSERT_TRUE(waitUntil([&] { return textOf(dlg, IDC_LBLMODULENAME) == "出库单"; }));
        pressKey(edit, VK_DOWN);
        ASSERT_TRUE(waitUntil([&] { return textOf(dlg, IDC_LBLMODULENAME) == "55"; }));
        EXPECT_EQ(textOf(dlg, IDC_CBBDIRECTION), "横向");
        EXPECT_EQ(textOf(dlg, IDC_CBBPAPER), "A4");
        EXPECT_EQ(textOf(dlg, IDC_EDTUPMARGIN), "2");
        EXPECT_EQ(textOf(dlg, IDC_CBBPRINTER), utf8(kMain));

        // A typed code that is not listed: no module name, the defaults.
        setTextOf(dlg, IDC_EDTUPMARGIN, "edited");
        SendMessageW(edit, EM_SETSEL, 0, -1);
        for (wchar_t ch : std::wstring(L"777"))
            typeChar(edit, ch);
        EXPECT_EQ(textOf(dlg, IDC_CBBBILLCODE), "777");
        EXPECT_EQ(textOf(dlg, IDC_LBLMODULENAME), "");
        EXPECT_EQ(textOf(dlg, IDC_CBBDIRECTION), "纵向");
        EXPECT_EQ(textOf(dlg, IDC_EDTUPMARGIN), "0");

        // Back to 12345678 by typing it, then edited and saved.
        SendMessageW(edit, EM_SETSEL, 0, -1);
        for (wchar_t ch : std::wstring(L"12345678"))
            typeChar(edit, ch);
        EXPECT_EQ(textOf(dlg, IDC_LBLMODULENAME), "出库单");
        setTextOf(dlg, IDC_EDTUPMARGIN, "  1.5 ");
        setTextOf(dlg, IDC_EDTLEFTMARGIN, "abc");
        setTextOf(dlg, IDC_CBBDIRECTION, "横向");
        setTextOf(dlg, IDC_CBBPAPER, kCustom);
        click(dlg, IDOK);
        EXPECT_TRUE(waitClosed(dlg));
    }));

    const Json saved = Json::parse(printJson());
    EXPECT_EQ(saved["00000000_PRINTER"], Json::parse(R"({"Printer":"P0"})"));
    EXPECT_EQ(saved["keep"], true);
    EXPECT_EQ(saved["A"]["55_PRINTER"], Json::parse(R"({"Direction":"横向","Paper":"A4","MarginUp":"2"})"));
    const Json& section = saved["A"]["12345678_PRINTER"];
    EXPECT_EQ(section["MarginUp"], "1.5");
    EXPECT_EQ(section["MarginLeft"], "abc");
    EXPECT_EQ(section["Paper"], "");
    EXPECT_EQ(section["Direction"], "横向");
    EXPECT_EQ(section["Printer"], utf8(kMain));

    // Reopened: the custom paper is shown again. Return asks; No closes without writing.
    const std::string before = printJson();
    prompts.answer({kAnswerNo});
    ASSERT_TRUE(run([&](HWND dlg) {
        const HWND edit = codeEdit(dlg);
        pressKey(edit, VK_DOWN);
        ASSERT_TRUE(waitUntil([&] { return textOf(dlg, IDC_LBLMODULENAME) == "出库单"; }));
        EXPECT_EQ(textOf(dlg, IDC_CBBPAPER), kCustom);
        EXPECT_EQ(textOf(dlg, IDC_EDTLEFTMARGIN), "abc");
        setTextOf(dlg, IDC_EDTLEFTMARGIN, "9");
        pressKey(edit, VK_RETURN);
        EXPECT_TRUE(waitClosed(dlg));
    }));
    EXPECT_EQ(prompts.texts(), (std::vector<std::string>{"确定要保存当前打印设置吗？", "确定要保存当前打印设置吗？"}));
    EXPECT_EQ(printJson(), before);

    // "取消" closes without asking and without writing.
    ASSERT_TRUE(run([&](HWND dlg) {
        setTextOf(dlg, IDC_EDTOFFSETX, "3");
        click(dlg, IDC_BTNCLOSE);
        EXPECT_TRUE(waitClosed(dlg));
    }));
    EXPECT_EQ(prompts.count(), 2u);
    EXPECT_EQ(printJson(), before);
}

// A file that is not JSON stops the step that met it: the error is shown and the dialog stays
// open, filled as far as the steps got. Saving meets a broken print.json again, reports it and
// stays open; nothing is written.
TEST_F(PrintSettingsDialogTest, BrokenFilesAreReportedAndTheDialogStays)
{
    installPrinters();
    struct Case {
        const wchar_t* file;
        std::vector<std::string> codes; // the code box's items
        std::size_t printers;           // the printer box's items
    };
    for (const Case& c : {Case{L"bill.json", {}, 0}, Case{L"print.json", {"00000000"}, 2}}) {
        SCOPED_TRACE(utf8(c.file));
        for (const wchar_t* f : {L"application.json", L"bill.json", L"print.json"})
            writeFile(jsonFile(f), "");
        writeFile(jsonFile(c.file), "{broken");
        PrompterScope boxes;
        boxes.prompts->answer({kAnswerOk, kAnswerYes, kAnswerOk});
        const bool saving = std::wstring(c.file) == L"print.json";
        ASSERT_TRUE(run([&](HWND dlg) {
            ASSERT_TRUE(waitUntil([&] { return boxes.prompts->count() == 1; }));
            EXPECT_EQ(comboItems(GetDlgItem(dlg, IDC_CBBBILLCODE)), c.codes);
            EXPECT_EQ(comboItems(GetDlgItem(dlg, IDC_CBBPRINTER)).size(), c.printers);
            EXPECT_EQ(textOf(dlg, IDC_EDTUPMARGIN), ""); // the fields were not reached
            if (saving) {
                click(dlg, IDOK);
                ASSERT_TRUE(waitUntil([&] { return boxes.prompts->count() == 3; }));
                EXPECT_TRUE(IsWindow(dlg));
            }
        }));
        const std::vector<MessageBoxRequest> r = boxes.prompts->requests();
        ASSERT_EQ(r.size(), saving ? 3u : 1u);
        EXPECT_EQ(r[0].icon, BoxIcon::Error);
        EXPECT_FALSE(r[0].text.empty());
        if (saving) {
            EXPECT_EQ(r[1].text, "确定要保存当前打印设置吗？");
            EXPECT_EQ(r[2].icon, BoxIcon::Error);
            EXPECT_EQ(r[2].text, r[0].text);
        }
        EXPECT_EQ(readFile(jsonFile(c.file)), "{broken");
        EXPECT_EQ(readFile(jsonFile(L"print.json")), saving ? "{broken" : "");
    }
}

TEST(PrinterPapers, PairedByPositionNamesEndAtTheirFirstZero)
{
    win::TPaperName a4{};
    std::copy_n(L"A4", 2, a4.begin());
    win::TPaperName full{};
    full.fill(L'x'); // 64 characters, no zero
    const win::TPaperInfos papers = win::pairPapers({a4, full}, {DMPAPER_A4, 300});
    ASSERT_EQ(papers.size(), 2u);
    EXPECT_EQ(papers[0].name(), L"A4");
    EXPECT_EQ(papers[0].paperID, DMPAPER_A4);
    EXPECT_EQ(papers[1].name(), std::wstring(64, L'x'));
    EXPECT_EQ(papers[1].paperID, 300);

    try {
        win::pairPapers({a4, full}, {DMPAPER_A4});
        ADD_FAILURE() << "different counts were accepted";
    } catch (const KxError& e) {
        EXPECT_STREQ(e.what(), "DeviceCapabilities reports different number of papers and  paper names!");
    }
}
