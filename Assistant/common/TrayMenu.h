#pragma once
// What the tray icon shows and offers, the same in every shell: the pop-up menu's items in their
// order, the hidden main menu, and the balloon's title, time and length. A shell builds its menus
// from these tables and runs the command an item names.
#include <string>
#include <string_view>

namespace kx {

enum class TrayCommand { PrintSettings, SystemSettings, Restart, CheckUpdate, About, Close };

struct MenuEntry {
    const char* name;    // the item's name (tests and logs)
    const char* caption; // what the user reads
    TrayCommand command;
};

// The tray icon's pop-up menu, top to bottom.
inline constexpr MenuEntry kTrayMenu[] = {
    {"mniPrintSet", "打印设置", TrayCommand::PrintSettings},
    {"mniSystem", "系统设置", TrayCommand::SystemSettings},
    {"mniRestart", "重新启动", TrayCommand::Restart},
    {"mnUpdate", "检查更新", TrayCommand::CheckUpdate},
    {"mniAbout", "关于", TrayCommand::About},
    {"mniClose", "退出程序", TrayCommand::Close},
};

// The main window's menu bar (never shown): "文件" and "设置".
inline constexpr const char* kFileMenuCaption = "文件";
inline constexpr MenuEntry kFileMenu[] = {
    {"mniExit", "退出程序", TrayCommand::Close},
    {"mniReboot", "重新启动", TrayCommand::Restart},
};
inline constexpr const char* kSettingsMenuCaption = "设置";
inline constexpr MenuEntry kSettingsMenu[] = {
    {"mniPrintSetting", "打印设置", TrayCommand::PrintSettings},
    {"mniSys", "系统设置", TrayCommand::SystemSettings},
};

// The tray icon's hover text is the application title (kApplicationTitle).
inline constexpr const char* kBalloonTitle = "提示：";
inline constexpr int kBalloonMilliseconds = 1000;
// A balloon holds at most this many UTF-16 units of text (the system's own limit, less the end).
inline constexpr std::size_t kBalloonCharacters = 255;

// The message as a balloon shows it: cut to kBalloonCharacters UTF-16 units, never inside a
// character that takes two; the run log keeps the whole message.
std::string balloonText(std::string_view message);

} // namespace kx
