// The About dialog as its user meets it: the window, the version line and the module lines from
// conf\sys.ini and conf\dll.ini, and the ways to close it.
#include "DialogDriver.h"
#include "Win32TestFolder.h"

#include "shell/win32/ShellResources.h"
#include "shell/win32/dialogs/About.h"

#include <gtest/gtest.h>

using namespace kx;
using namespace kx::test;

namespace {

class AboutDialogTest : public ::testing::Test {
protected:
    void run(const std::function<void(HWND)>& drive)
    {
        win::TfrmAbout dialog(GetModuleHandleW(nullptr));
        dialog.setAppFileDir(folder.utf8());
        EXPECT_TRUE(runDialog(dialog, L"TfrmAbout", drive));
    }

    Win32TestFolder folder;
    PrompterScope scope;
    ScriptedPrompter& prompts = *scope.prompts;
};

} // namespace

TEST_F(AboutDialogTest, ShowsVersionAndModuleLinesInFileOrder)
{
    writeFile(folder.path() / L"conf" / L"sys.ini",
              "[APP]\r\napplication.current.version=v3.2.1\r\n"
              "[DLL]\r\nzeta=3.1.0\r\nempty=\r\nnopath=1.0\r\nalpha=2.0\r\n");
    writeFile(folder.path() / L"conf" / L"dll.ini",
              "[MODULE-DLLPATH]\r\nzeta=comp\\common\\ca\\CA.dll\r\nempty=comp\\e.dll\r\nalpha=plain.dll\r\n");
    run([&](HWND dlg) {
        saveShot(dlg, "about");
        EXPECT_EQ(textOf(dlg, IDC_LBLVER), "Kestrix客户端助手-v3.2.1");
        // Unsorted, the empty version skipped, a module without a path listed by its version.
        EXPECT_EQ(listItems(GetDlgItem(dlg, IDC_LSTDLLVER)),
                  (std::vector<std::string>{"CA.dll          3.1.0", "          1.0", "plain.dll          2.0"}));
    });
    EXPECT_TRUE(prompts.requests().empty());
}

TEST_F(AboutDialogTest, WindowControlsAndLayout)
{
    run([&](HWND dlg) {
        expectFrame(dlg, "关于", 458, 256);
        EXPECT_EQ(childIds(dlg), (std::vector<int>{IDC_IMGICON, IDC_LBLVER, IDC_LBLDLL, IDC_LSTDLLVER, IDC_LBLCOMPANY,
                                                   IDC_LBLCOPYRIGHT, IDOK}));
        // Without sys.ini: the bare title and no module line.
        EXPECT_EQ(textOf(dlg, IDC_LBLVER), "Kestrix客户端助手");
        EXPECT_EQ(SendDlgItemMessageW(dlg, IDC_LSTDLLVER, LB_GETCOUNT, 0, 0), 0);
        EXPECT_EQ(textOf(dlg, IDC_LBLDLL), "组件版本：");
        EXPECT_FALSE(textOf(dlg, IDC_LBLCOMPANY).empty());
        EXPECT_FALSE(textOf(dlg, IDC_LBLCOPYRIGHT).empty());
        EXPECT_EQ(textOf(dlg, IDOK), "确定");

        // The window's icon and the picture.
        EXPECT_NE(reinterpret_cast<HICON>(GetClassLongPtrW(dlg, GCLP_HICON)), nullptr);
        EXPECT_NE(reinterpret_cast<HICON>(SendDlgItemMessageW(dlg, IDC_IMGICON, STM_GETICON, 0, 0)), nullptr);

        // The version in 13-pixel Tahoma, the other texts in the dialog's 11-pixel Tahoma.
        LOGFONTW version{};
        GetObjectW(reinterpret_cast<HFONT>(SendDlgItemMessageW(dlg, IDC_LBLVER, WM_GETFONT, 0, 0)), sizeof version, &version);
        LOGFONTW dialogFont{};
        GetObjectW(reinterpret_cast<HFONT>(SendMessageW(dlg, WM_GETFONT, 0, 0)), sizeof dialogFont, &dialogFont);
        EXPECT_STREQ(version.lfFaceName, L"Tahoma");
        EXPECT_STREQ(dialogFont.lfFaceName, L"Tahoma");
        HDC screen = GetDC(nullptr);
        const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
        ReleaseDC(nullptr, screen);
        EXPECT_EQ(version.lfHeight, -MulDiv(13, dpi, 96));
        EXPECT_EQ(dialogFont.lfHeight, -MulDiv(11, dpi, 96));
        EXPECT_EQ(SendDlgItemMessageW(dlg, IDC_LSTDLLVER, LB_GETITEMHEIGHT, 0, 0), MulDiv(13, dpi, 96));

        expectPlaces(dlg, {{IDC_IMGICON, "imgIcon", 32, 32, 73, 81},
                           {IDC_LBLVER, "lblVer", 135, 32, 0, 0},
                           {IDC_LBLDLL, "lblDll", 135, 61, 0, 0},
                           {IDC_LSTDLLVER, "lstDllVer", 135, 80, 298, 73},
                           {IDC_LBLCOMPANY, "lblCompany", 119, 176, 0, 0},
                           {IDC_LBLCOPYRIGHT, "lblCopyright", 88, 195, 0, 0},
                           {IDOK, "btn1", 358, 214, 75, 25}});
        EXPECT_EQ(focusedId(dlg), IDOK);
    });
}

TEST_F(AboutDialogTest, ButtonReturnEscapeAndCloseBoxEachClose)
{
    const std::vector<std::pair<const char*, std::function<void(HWND)>>> ways{
        {"确定", [](HWND dlg) { click(dlg, IDOK); }},
        {"Return", [](HWND dlg) { pressKey(GetDlgItem(dlg, IDOK), VK_RETURN); }},
        {"Escape", [](HWND dlg) { pressKey(GetDlgItem(dlg, IDOK), VK_ESCAPE); }},
        {"close box", [](HWND dlg) { PostMessageW(dlg, WM_SYSCOMMAND, SC_CLOSE, 0); }},
    };
    for (const auto& [name, close] : ways) {
        SCOPED_TRACE(name);
        bool closed = false;
        run([&](HWND dlg) {
            close(dlg);
            closed = waitClosed(dlg);
        });
        EXPECT_TRUE(closed);
    }
    EXPECT_TRUE(prompts.requests().empty());
}
