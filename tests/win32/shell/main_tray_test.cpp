// The Windows tray: the menus as built (read back from the live menus), their items' commands, and
// the icon put up in the notification area Wine's shell offers, with balloons before and after.
#include "shell/win32/MainTray.h"

#include "platform/win32/WideText.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

using namespace kx;
using kx::win::TMainTray;

namespace {

TMainTray* g_tray = nullptr;

LRESULT CALLBACK testWindowProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_TIMER && wParam == TMainTray::kTrayTimerId && g_tray) {
        g_tray->tmrTrayTimer();
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

struct Item {
    std::string caption;
    UINT id;
    HMENU submenu;
};

std::vector<Item> itemsOf(HMENU menu)
{
    std::vector<Item> items;
    const int count = GetMenuItemCount(menu);
    for (int i = 0; i < count; ++i) {
        wchar_t text[128] = {};
        GetMenuStringW(menu, static_cast<UINT>(i), text, 128, MF_BYPOSITION);
        items.push_back({platform::win32::utf8FromWide(text), GetMenuItemID(menu, i), GetSubMenu(menu, i)});
    }
    return items;
}

class TrayTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        WNDCLASSW wc{};
        wc.lpfnWndProc = testWindowProcedure;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"KxTrayTestWindow";
        RegisterClassW(&wc);
        window_ = CreateWindowExW(0, wc.lpszClassName, L"tray test", WS_OVERLAPPEDWINDOW, 0, 0, 200, 200, nullptr,
                                  nullptr, wc.hInstance, nullptr);
        ASSERT_NE(window_, nullptr);
        tray_ = std::make_unique<TMainTray>(window_, GetModuleHandleW(nullptr),
                                            [this](TrayCommand c) { commands_.push_back(c); });
        g_tray = tray_.get();
    }
    void TearDown() override
    {
        g_tray = nullptr;
        tray_.reset();
        DestroyWindow(window_);
    }
    // Delivers messages until the icon is up or about `seconds` passed.
    bool pumpUntilIconUp(int seconds)
    {
        const DWORD end = GetTickCount() + static_cast<DWORD>(seconds) * 1000;
        while (!tray_->iconUp() && GetTickCount() < end) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
                DispatchMessageW(&msg);
        }
        return tray_->iconUp();
    }

    HWND window_ = nullptr;
    std::unique_ptr<TMainTray> tray_;
    std::vector<TrayCommand> commands_;
};

const std::map<std::string, TrayCommand> kCommandOfCaption = {
    {"打印设置", TrayCommand::PrintSettings}, {"系统设置", TrayCommand::SystemSettings},
    {"重新启动", TrayCommand::Restart},       {"检查更新", TrayCommand::CheckUpdate},
    {"关于", TrayCommand::About},             {"退出程序", TrayCommand::Close},
};

} // namespace

TEST_F(TrayTest, PopUpMenuHoldsTheItemsInOrderAndEachRunsItsCommand)
{
    const std::vector<Item> items = itemsOf(tray_->pmMain());
    std::vector<std::string> captions;
    for (const Item& item : items)
        captions.push_back(item.caption);
    EXPECT_EQ(captions, (std::vector<std::string>{"打印设置", "系统设置", "重新启动", "检查更新", "关于", "退出程序"}));
    for (const Item& item : items) {
        commands_.clear();
        EXPECT_TRUE(tray_->command(item.id)) << item.caption;
        ASSERT_EQ(commands_.size(), 1u) << item.caption;
        EXPECT_EQ(commands_[0], kCommandOfCaption.at(item.caption)) << item.caption;
    }
    commands_.clear();
    EXPECT_FALSE(tray_->command(1));
    EXPECT_FALSE(tray_->command(0xFFFF));
    EXPECT_TRUE(commands_.empty());
}

TEST_F(TrayTest, HiddenMainMenuHasFileAndSettingsWithTheirItems)
{
    EXPECT_EQ(GetMenu(window_), tray_->mmMain());
    const std::vector<Item> bar = itemsOf(tray_->mmMain());
    ASSERT_EQ(bar.size(), 2u);
    EXPECT_EQ(bar[0].caption, "文件");
    EXPECT_EQ(bar[1].caption, "设置");
    const std::vector<Item> file = itemsOf(bar[0].submenu);
    const std::vector<Item> settings = itemsOf(bar[1].submenu);
    ASSERT_EQ(file.size(), 2u);
    ASSERT_EQ(settings.size(), 2u);
    EXPECT_EQ(file[0].caption, "退出程序");
    EXPECT_EQ(file[1].caption, "重新启动");
    EXPECT_EQ(settings[0].caption, "打印设置");
    EXPECT_EQ(settings[1].caption, "系统设置");
    for (const std::vector<Item>* menu : {&file, &settings})
        for (const Item& item : *menu) {
            commands_.clear();
            EXPECT_TRUE(tray_->command(item.id)) << item.caption;
            ASSERT_EQ(commands_.size(), 1u);
            EXPECT_EQ(commands_[0], kCommandOfCaption.at(item.caption)) << item.caption;
        }
}

TEST_F(TrayTest, IconGoesUpInTheNotificationAreaAndLeavesForGood)
{
    tray_->promptLog("a balloon before the icon is up: nothing is seen, nothing fails");
    EXPECT_FALSE(tray_->iconUp());
    ASSERT_TRUE(pumpUntilIconUp(20)) << "no notification area took the icon";
    tray_->promptLog(std::string(400, 'x')); // cut to the balloon's length, not refused
    tray_->removeTrayIcon();
    EXPECT_FALSE(tray_->iconUp());
    // After the exit routine took the icon away, the taskbar's return does not bring it back.
    tray_->taskbarCreated();
    EXPECT_FALSE(pumpUntilIconUp(1));
}
