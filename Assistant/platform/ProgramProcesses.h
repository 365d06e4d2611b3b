#pragma once
// What the companion service needs of the system's processes: find the running copies of a
// program, wait for them to end or end them, remember the user session one runs in, start a
// program in such a session with administrator rights, and run an installer to its end.
#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace kx::platform {

// A program's file name from its base name: "KestrixAssistant.exe" on Windows, where programs
// carry their name extension, "KestrixAssistant" elsewhere.
inline std::string programFileName(const std::string& baseName)
{
#ifdef _WIN32
    return baseName + ".exe";
#else
    return baseName;
#endif
}

// The processes whose executable is exactly `program` (a full path; links and short names
// resolved, letter case ignored where the file system ignores it). Empty when none runs.
std::vector<unsigned long> processesOfProgram(const std::string& program);

// True when the process has ended (or never existed) within the time.
bool waitForProcessEnd(unsigned long pid, std::chrono::milliseconds timeout);
// Ends the process at once, without its exit routine. True when it is gone afterwards.
bool terminateProcess(unsigned long pid);

// Where a user's programs run. Windows: the terminal services session id. Linux: the user and
// the environment of a process of that user's graphical session (DISPLAY, WAYLAND_DISPLAY,
// XDG_RUNTIME_DIR, DBUS_SESSION_BUS_ADDRESS, XAUTHORITY, HOME, USER, LOGNAME, LANG, LC_*, PATH).
struct UserSession {
    unsigned long sessionId = 0;
    unsigned uid = 0;
    unsigned gid = 0;
    std::vector<std::string> environment; // "NAME=value"
    std::string description;              // for log lines: "会话 1", "用户 1000 (:0)"
};
// The session the process runs in, read while it still runs; nothing when it cannot be read.
std::optional<UserSession> sessionOfProcess(unsigned long pid);
// The session of the user signed in at the machine's console (Windows: the active console
// session with a user; Linux: the session of the given process when known, else none).
std::optional<UserSession> activeUserSession();

// Starts program (working folder: its own folder, no arguments) in the session with the user's
// administrator rights: on Windows with the session user's elevated (linked) token, so that no
// elevation prompt appears; where the system offers no session token (a console run, Wine), in
// the caller's own session. Linux: as the session's user (when the caller is root and the user
// differs) in a new process group with the session's environment. The process id, or nothing with
// the reason in error.
std::optional<unsigned long> startProgramInSession(const std::string& program, const UserSession* session,
                                                   std::string& error);

// Runs program with the arguments (each quoted as the system needs), without a window, and waits
// for it to end. Its exit code, or nothing with the reason in error when it could not be started.
std::optional<int> runProgramAndWait(const std::string& program, const std::vector<std::string>& arguments,
                                     std::string& error);

// The file's full path with "." and ".." removed and links, junctions and short (8.3) names
// resolved; "" when path names no existing regular file. Windows paths come back in drive form
// ("C:\...") or UNC form ("\\server\share\..."), never with a "\\?\" prefix.
std::string resolvedFilePath(const std::string& path);
// The same for an existing folder.
std::string resolvedFolderPath(const std::string& path);

} // namespace kx::platform
