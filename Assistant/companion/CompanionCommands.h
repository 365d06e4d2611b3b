#pragma once
// The companion program's command line, for the installer and for administrators:
//   (nothing)                       run as the service (in the foreground when no service manager
//                                   started the program)
//   /install                        register the service (or bring its registration up to date)
//   /uninstall                      stop the service and remove its registration
//   /start, /stop                   start it; stop it and wait until it stopped
//   /closeMainApp [folder]          end the running assistant of this (or that) program folder
//   /readSysIni SECTION KEY         print a value of conf/sys.ini (UTF-8, no line end)
//   /writeSysIni SECTION KEY VALUE  write one
//   /acceptKey PUBFILE [SIGFILE]    take the update key an installer carries (KeyRotation.h)
// "-" or "--" may stand for "/"; verbs compare without case. Exit codes: 0 done, 1 failed, 2 the
// command line is wrong, 3 the installed update key was kept (acceptKey).
#include <optional>
#include <string>
#include <vector>

namespace kx::companion {

inline constexpr const char* kCompanionDescription =
    "在 Kestrix客户端助手 需要时重新启动它，并安装它下载的更新。";

// The exit code of the verb in args (without the program name), or nothing when args name no verb
// (the program runs as the service).
std::optional<int> runCommand(const std::vector<std::string>& args, const std::string& programFolder);

// Runs the companion service until it is asked to stop; the exit code.
int serve(const std::string& programFolder);

} // namespace kx::companion
