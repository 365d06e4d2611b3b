// The system settings dialog as its user meets it: the window and its controls, what it shows from
// conf\sys.ini and the start-with-Windows flag, the interval box's character filter, the keys,
// and the two buttons' questions with what they save.
#include "DialogDriver.h"
#include "Win32TestFolder.h"

#include "common/AutoRun.h"
#include "common/Config.h"
#include "platform/AutoRunStore.h"
#include "shell/win32/ShellResources.h"
#include "shell/win32/dialogs/SystemSet.h"

#include <gtest/gtest.h>

using namespace kx;
using namespace kx::test;

namespace {

const std::string kOver = "*超过一天时间";
const std::string kZeroFirst = "*不能以0开头";
const std::string kNotDigit = "*请输入数字";
const std::string kNotZero = "*请输入大于0的数";

class SystemSettingsDialogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        flagKey_ = L"Software\\KestrixAssistantTest\\" + std::to_wstring(GetCurrentProcessId()) + L" 对话框";
        RegDeleteTreeW(HKEY_CURRENT_USER, flagKey_.c_str());
        platform::setAutoRunStorePath("HKEY_CURRENT_USER\\" + utf8(flagKey_));
        ASSERT_TRUE(writeAutoRun(0)); // opening without an error box
    }
    void TearDown() override
    {
        platform::setAutoRunStorePath("");
        RegDeleteTreeW(HKEY_CURRENT_USER, flagKey_.c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\KestrixAssistantTest");
    }

    void writeSysIni(const std::string& text) { writeFile(folder.path() / L"conf" / L"sys.ini", text); }
    std::string storedInterval() { return readSysIni("APP", "application.upgrade.timer.interval", "<none>", folder.utf8()); }

    // Runs the dialog with drive on the driving thread; gives intervalText() after it ended.
    std::string run(const std::function<void(HWND)>& drive)
    {
        win::TfrmSysSet dialog(GetModuleHandleW(nullptr));
        dialog.setAppFileDir(folder.utf8());
        EXPECT_TRUE(runDialog(dialog, L"TfrmSysSet", drive));
        return dialog.intervalText();
    }

    Win32TestFolder folder;
    PrompterScope scope;
    ScriptedPrompter& prompts = *scope.prompts;
    std::wstring flagKey_;
};

// The colour the dialog gives a label's text.
COLORREF labelTextColour(HWND dialog, int id)
{
    HDC dc = CreateCompatibleDC(nullptr);
    SetTextColor(dc, RGB(1, 2, 3));
    SendMessageW(dialog, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
    const COLORREF colour = GetTextColor(dc);
    DeleteDC(dc);
    return colour;
}

} // namespace

TEST_F(SystemSettingsDialogTest, WindowControlsLayoutAndTabOrder)
{
    run([&](HWND dlg) {
        saveShot(dlg, "system-settings");
        expectFrame(dlg, "系统设置", 445, 224);
        EXPECT_EQ(childIds(dlg), (std::vector<int>{IDC_GRPSET, IDC_LBLSERVERIP, IDC_LBLIP, IDC_LBLSERVERPORT, IDC_LBLPORT,
                                                   IDC_CHKAUTORUN, IDC_LBLINTERVAL, IDC_EDTINTERVAL, IDC_LBLMINUTE,
                                                   IDC_LBLHINT, IDOK, IDC_BTNCLOSE}));
        const std::vector<std::pair<int, std::string>> captions{
            {IDC_GRPSET, ""},          {IDC_LBLSERVERIP, "服务地址"}, {IDC_LBLSERVERPORT, "服务端口"},
            {IDC_CHKAUTORUN, "开机时自动启动客户端"}, {IDC_LBLINTERVAL, "自动更新时间间隔"},
            {IDC_LBLMINUTE, "时"},     {IDC_LBLHINT, ""},             {IDOK, "确定"},
            {IDC_BTNCLOSE, "取消"}};
        for (const auto& [id, caption] : captions)
            EXPECT_EQ(textOf(dlg, id), caption) << id;
        // "确定" is the default button; the hint is red, the other labels are not.
        EXPECT_EQ(LOWORD(SendMessageW(dlg, DM_GETDEFID, 0, 0)), IDOK);
        EXPECT_EQ(labelTextColour(dlg, IDC_LBLHINT), RGB(255, 0, 0));
        EXPECT_NE(labelTextColour(dlg, IDC_LBLINTERVAL), RGB(255, 0, 0));

        // The places of the layout (group box offset 10, 11 added to the rows inside it).
        expectPlaces(dlg, {{IDC_GRPSET, "grpSet", 10, 11, 311, 198},
                           {IDC_LBLSERVERIP, "lblServerIP", 46, 38, 0, 0},
                           {IDC_LBLIP, "lblIp", 115, 38, 0, 0},
                           {IDC_LBLSERVERPORT, "lblServerPort", 46, 73, 0, 0},
                           {IDC_LBLPORT, "lblPort", 115, 73, 0, 0},
                           {IDC_CHKAUTORUN, "chkAutoRun", 115, 126, 152, 17},
                           {IDC_LBLINTERVAL, "lblInterval", 46, 180, 0, 0},
                           {IDC_EDTINTERVAL, "edtInterval", 148, 172, 39, 21},
                           {IDC_LBLMINUTE, "lblMinute", 193, 180, 0, 0},
                           {IDC_LBLHINT, "lblHint", 211, 175, 0, 0},
                           {IDOK, "btnOk", 340, 35, 83, 25},
                           {IDC_BTNCLOSE, "btnClose", 340, 86, 83, 24}});

        // The focus starts on the check box; Tab goes round the interval box and the buttons.
        EXPECT_EQ(tabWalk(dlg, 4), (std::vector<int>{IDC_CHKAUTORUN, IDC_EDTINTERVAL, IDOK, IDC_BTNCLOSE, IDC_CHKAUTORUN}));
    });
    EXPECT_TRUE(prompts.requests().empty());
}

TEST_F(SystemSettingsDialogTest, ShowsAddressPortIntervalAndFlag)
{
    struct Case {
        const char* name;
        const char* sysIni; // nullptr: no file
        int flag;           // -1: never written
        const char* ip;
        const char* port;
        const char* interval;
        bool ticked;
        std::vector<std::string> boxes;
    };
    const std::vector<Case> cases{
        {"no file, no flag", nullptr, -1, "127.0.0.1", "13526", "8", false, {"Failed to get data for 'AutoRun'"}},
        {"values of the file, empty interval kept", "[HTTP]\r\nserver.ip=10.1.2.3\r\nserver.port=8080\r\n[APP]\r\napplication.upgrade.timer.interval=\r\n",
         1, "10.1.2.3", "8080", "", true, {}},
        {"flag 0, interval 12", "[APP]\r\napplication.upgrade.timer.interval=12\r\n", 0, "127.0.0.1", "13526", "12", false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(folder.path() / L"conf" / L"sys.ini");
        if (c.sysIni)
            writeSysIni(c.sysIni);
        RegDeleteTreeW(HKEY_CURRENT_USER, flagKey_.c_str());
        if (c.flag >= 0) {
            ASSERT_TRUE(writeAutoRun(c.flag));
        }
        PrompterScope boxes;
        win::TfrmSysSet dialog(GetModuleHandleW(nullptr));
        dialog.setAppFileDir(folder.utf8());
        runDialog(dialog, L"TfrmSysSet", [&](HWND dlg) {
            EXPECT_EQ(textOf(dlg, IDC_LBLIP), c.ip);
            EXPECT_EQ(textOf(dlg, IDC_LBLPORT), c.port);
            EXPECT_EQ(textOf(dlg, IDC_EDTINTERVAL), c.interval);
            EXPECT_EQ(SendMessageW(GetDlgItem(dlg, IDC_CHKAUTORUN), BM_GETCHECK, 0, 0), c.ticked ? BST_CHECKED : BST_UNCHECKED);
        });
        EXPECT_EQ(boxes.prompts->texts(), c.boxes);
        for (const MessageBoxRequest& r : boxes.prompts->requests()) {
            EXPECT_EQ(r.icon, BoxIcon::Error);
            EXPECT_EQ(r.caption, "Kestrix客户端");
        }
    }
}

TEST_F(SystemSettingsDialogTest, IntervalFilterJudgesTheWouldBeText)
{
    struct Case {
        const char* name;
        const char* text;
        int selStart; // -1: nothing selected, caret at the end
        int selEnd;   // == selStart: caret there
        wchar_t key;
        const char* boxAfter;
        const char* hintAfter; // "x": left as it was
    };
    const std::vector<Case> cases{
        {"first digit", "", -1, -1, L'2', "2", ""},
        {"2 then 4", "2", -1, -1, L'4', "24", ""},
        {"2 then 5", "2", -1, -1, L'5', "2", kOver.c_str()},
        {"9 then 9", "9", -1, -1, L'9', "9", kOver.c_str()},
        {"lone zero", "", -1, -1, L'0', "", kNotZero.c_str()},
        {"caret ignored: 42 checked", "4", 0, 0, L'2', "4", kOver.c_str()},
        {"caret ignored: 10 checked, 01 shown", "1", 0, 0, L'0', "01", ""},
        {"third digit", "24", -1, -1, L'1', "24", ""},
        {"02 by selection", "12", 0, 1, L'0', "0", kZeroFirst.c_str()},
        {"leading zero, three long", "02", -1, -1, L'3', "3", kZeroFirst.c_str()},
        {"selection replaced", "12", 1, 2, L'5', "15", ""},
        {"all replaced", "24", 0, 2, L'3', "3", ""},
        {"letter", "1", -1, -1, L'a', "1", kNotDigit.c_str()},
        {"full-width digit", "1", -1, -1, L'２', "1", kNotDigit.c_str()},
        {"Enter", "1", -1, -1, L'\r', "1", kNotDigit.c_str()},
        {"Ctrl+A", "12", -1, -1, 0x01, "12", kNotDigit.c_str()},
        {"backspace", "12", -1, -1, 0x08, "1", ""},
        {"backspace on an empty box", "", -1, -1, 0x08, "", ""},
    };
    run([&](HWND dlg) {
        const HWND box = GetDlgItem(dlg, IDC_EDTINTERVAL);
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            setTextOf(dlg, IDC_EDTINTERVAL, c.text);
            const int length = static_cast<int>(wide(c.text).size());
            SendMessageW(box, EM_SETSEL, c.selStart < 0 ? length : c.selStart, c.selStart < 0 ? length : c.selEnd);
            setTextOf(dlg, IDC_LBLHINT, "x");
            typeChar(box, c.key);
            EXPECT_EQ(textOf(box), c.boxAfter);
            EXPECT_EQ(textOf(dlg, IDC_LBLHINT), c.hintAfter);
        }
    });
    EXPECT_TRUE(prompts.requests().empty());
}

// Ctrl+V is a character the filter refuses; the Delete key and the context menu's paste are not
// characters and are not filtered.
TEST_F(SystemSettingsDialogTest, PasteShortcutRefusedDeleteAndMenuPasteNot)
{
    run([&](HWND dlg) {
        const HWND box = GetDlgItem(dlg, IDC_EDTINTERVAL);
        ASSERT_TRUE(OpenClipboard(nullptr));
        EmptyClipboard();
        HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, 2 * sizeof(wchar_t));
        wcscpy(static_cast<wchar_t*>(GlobalLock(memory)), L"5");
        GlobalUnlock(memory);
        SetClipboardData(CF_UNICODETEXT, memory);
        CloseClipboard();

        setTextOf(dlg, IDC_EDTINTERVAL, "1");
        SendMessageW(box, EM_SETSEL, 1, 1);
        typeChar(box, 0x16); // Ctrl+V
        EXPECT_EQ(textOf(box), "1");
        EXPECT_EQ(textOf(dlg, IDC_LBLHINT), kNotDigit);

        SendMessageW(box, WM_PASTE, 0, 0); // the context menu's paste
        EXPECT_EQ(textOf(box), "15");
        EXPECT_EQ(textOf(dlg, IDC_LBLHINT), kNotDigit);

        setTextOf(dlg, IDC_LBLHINT, "x");
        SendMessageW(box, EM_SETSEL, 0, 0);
        SendMessageW(box, WM_KEYDOWN, VK_DELETE, 1);
        EXPECT_EQ(textOf(box), "5");
        EXPECT_EQ(textOf(dlg, IDC_LBLHINT), "x");
    });
}

// In the interval box Return and Escape are characters for the filter; elsewhere Return presses
// "确定" and Escape closes like the close box.
TEST_F(SystemSettingsDialogTest, ReturnAndEscape)
{
    writeSysIni("[APP]\r\napplication.upgrade.timer.interval=5\r\n");
    const std::string ended = run([&](HWND dlg) {
        const HWND box = GetDlgItem(dlg, IDC_EDTINTERVAL);
        PostMessageW(dlg, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(box), TRUE);
        ASSERT_TRUE(waitUntil([&] { return focusedId(dlg) == IDC_EDTINTERVAL; }));
        for (UINT key : {VK_RETURN, VK_ESCAPE}) {
            setTextOf(dlg, IDC_LBLHINT, "");
            pressKey(box, key);
            EXPECT_TRUE(waitUntil([&] { return textOf(dlg, IDC_LBLHINT) == kNotDigit; })) << key;
            EXPECT_EQ(textOf(box), "5");
        }
        EXPECT_TRUE(IsWindow(dlg));

        prompts.answer({kAnswerNo});
        setTextOf(dlg, IDC_EDTINTERVAL, "3");
        const HWND check = GetDlgItem(dlg, IDC_CHKAUTORUN);
        PostMessageW(dlg, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(check), TRUE);
        ASSERT_TRUE(waitUntil([&] { return focusedId(dlg) == IDC_CHKAUTORUN; }));
        pressKey(check, VK_RETURN);
        ASSERT_TRUE(waitUntil([&] { return prompts.count() == 1; }));
        EXPECT_EQ(textOf(box), "5"); // No: the stored value is back, the dialog stays

        setTextOf(dlg, IDC_EDTINTERVAL, "3");
        pressKey(check, VK_ESCAPE);
        EXPECT_TRUE(waitClosed(dlg));
    });
    EXPECT_EQ(prompts.texts(), std::vector<std::string>{"确定要保存当前系统设置吗？"});
    EXPECT_EQ(ended, "3");
    EXPECT_EQ(storedInterval(), "5");
}

TEST_F(SystemSettingsDialogTest, ButtonsAskThenSaveOrResetTheBox)
{
    struct Case {
        const char* name;
        int button;      // IDOK, IDC_BTNCLOSE, or IDCANCEL for the close box
        const char* box; // typed into the interval box before the button
        bool tick;       // tick the check box first
        int answer;      // 0: no question expected
        const char* question;
        bool closes;
        const char* stored;   // the interval in sys.ini afterwards
        int flag;             // the flag afterwards (0 when the dialog opened)
        const char* boxAfter; // intervalText() once the dialog ended
    };
    const char* okQ = "确定要保存当前系统设置吗？";
    const char* closeQ = "是否要保存当前系统设置？";
    const std::vector<Case> cases{
        {"OK, Yes, empty box", IDOK, "", true, kAnswerYes, okQ, true, "8", 1, ""},
        {"OK, Yes, 12, not ticked", IDOK, "12", false, kAnswerYes, okQ, true, "12", 0, "12"},
        {"Cancel, Yes, empty box", IDC_BTNCLOSE, "", false, kAnswerYes, closeQ, true, "8", 0, ""},
        {"OK, No", IDOK, "3", true, kAnswerNo, okQ, false, "5", 0, "5"},
        {"Cancel, No", IDC_BTNCLOSE, "3", true, kAnswerNo, closeQ, true, "5", 0, "5"},
        {"close box", IDCANCEL, "3", true, 0, nullptr, true, "5", 0, "3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeSysIni("[APP]\r\napplication.upgrade.timer.interval=5\r\n");
        ASSERT_TRUE(writeAutoRun(0));
        PrompterScope boxes;
        if (c.answer)
            boxes.prompts->answer({c.answer});
        win::TfrmSysSet dialog(GetModuleHandleW(nullptr));
        dialog.setAppFileDir(folder.utf8());
        runDialog(dialog, L"TfrmSysSet", [&](HWND dlg) {
            const HWND box = GetDlgItem(dlg, IDC_EDTINTERVAL);
            setTextOf(dlg, IDC_EDTINTERVAL, "");
            for (char ch : std::string(c.box))
                typeChar(box, static_cast<wchar_t>(ch));
            ASSERT_EQ(textOf(box), c.box);
            if (c.tick) {
                click(dlg, IDC_CHKAUTORUN);
                ASSERT_TRUE(waitUntil([&] { return SendMessageW(GetDlgItem(dlg, IDC_CHKAUTORUN), BM_GETCHECK, 0, 0) == BST_CHECKED; }));
            }
            if (c.button == IDCANCEL)
                PostMessageW(dlg, WM_SYSCOMMAND, SC_CLOSE, 0);
            else
                click(dlg, c.button);
            if (c.closes) {
                EXPECT_TRUE(waitClosed(dlg));
            } else {
                ASSERT_TRUE(waitUntil([&] { return boxes.prompts->count() == 1; }));
                EXPECT_EQ(textOf(box), "5");
                EXPECT_TRUE(IsWindow(dlg));
            }
        });
        EXPECT_EQ(boxes.prompts->texts(), c.question ? std::vector<std::string>{c.question} : std::vector<std::string>{});
        for (const MessageBoxRequest& r : boxes.prompts->requests()) {
            EXPECT_EQ(r.icon, BoxIcon::Question);
            EXPECT_EQ(r.buttons, BoxButtons::YesNo);
            EXPECT_EQ(r.caption, "Kestrix客户端");
            EXPECT_TRUE(r.topmost);
            EXPECT_FALSE(r.ownedByMainWindow);
        }
        EXPECT_EQ(storedInterval(), c.stored);
        EXPECT_EQ(readAutoRun(), c.flag);
        EXPECT_EQ(dialog.intervalText(), c.boxAfter);
    }
}

TEST_F(SystemSettingsDialogTest, UnwritableSysIniIsReportedAndTheDialogStays)
{
    writeSysIni("[APP]\r\napplication.upgrade.timer.interval=5\r\n");
    const std::filesystem::path ini = folder.path() / L"conf" / L"sys.ini";
    ASSERT_TRUE(SetFileAttributesW(ini.c_str(), FILE_ATTRIBUTE_READONLY));
    prompts.answer({kAnswerYes, kAnswerOk});
    run([&](HWND dlg) {
        click(dlg, IDC_CHKAUTORUN);
        setTextOf(dlg, IDC_EDTINTERVAL, "7");
        click(dlg, IDOK);
        ASSERT_TRUE(waitUntil([&] { return prompts.count() == 2; }));
        EXPECT_TRUE(IsWindow(dlg));
    });
    const std::vector<MessageBoxRequest> r = prompts.requests();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[1].text.rfind("Unable to write to ", 0), 0u) << r[1].text;
    EXPECT_NE(r[1].text.find("sys.ini"), std::string::npos) << r[1].text;
    EXPECT_EQ(r[1].icon, BoxIcon::Error);
    SetFileAttributesW(ini.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(storedInterval(), "5");
    EXPECT_EQ(readAutoRun(), 0); // the flag is not written either
}
