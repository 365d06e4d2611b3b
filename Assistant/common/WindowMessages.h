#pragma once
// Window messages that the main window accepts, and the names by which other code finds it.
#include <cstdint>

namespace kx {

// The close request (the system close message number) and the messages of the update and the
// loading overlay.
constexpr unsigned kCloseMessage = 0x0010;
constexpr unsigned WM_UPGRADE_APP = 0x1401;
constexpr unsigned WM_UPGRADE_DLL = 0x1402;
constexpr unsigned WM_LOADING_SHOW = 0x1403;
constexpr unsigned WM_LOADING_HIDE = 0x1404;

inline constexpr const char* kMainWindowClass = "TfrmMain";
inline constexpr const char* kApplicationTitle = "Kestrix客户端助手";
inline constexpr const char* kMessageBoxCaption = "Kestrix客户端";

} // namespace kx
