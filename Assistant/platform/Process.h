#pragma once
// Process-level facilities: the program folder, the administrator check, the machine-wide
// single-instance lock, the display probe and the termination signals.
#include <string>
#include <vector>

namespace kx::platform {

// The folder of the running executable (on Linux with symbolic links resolved), without a trailing
// separator.
std::string executableFolder();

// The program's arguments after its name, as UTF-8: argv itself on POSIX systems; on Windows the
// process's UTF-16 command line split by the system's rules (argv there is in the code page).
std::vector<std::string> commandLineArguments(int argc, char** argv);

// The id of this process, as the system numbers processes.
unsigned long currentProcessId();

// True when the effective user is root or the process's groups include "sudo", "wheel" or
// "admin" (membership, not elevation). On Windows: when the thread's token (or, without one, the
// process's) lists the built-in Administrators group, whatever the group's attributes.
bool isAdministrator();
// The Linux rule itself, for a given user id and group names.
bool isAdministratorFor(unsigned effectiveUid, const std::vector<std::string>& groupNames);

enum class InstanceLockResult { Acquired, AlreadyRunning, Unavailable };
// Takes the machine-wide lock of this name for the life of the process (a lock file in /run/lock,
// or /tmp when that folder is missing; on Windows the mutex "Global\<name>"). Unavailable when no
// lock file (no mutex) can be created at all.
InstanceLockResult acquireInstanceLock(const std::string& name);

// True when a graphical display is reachable (Wayland, or an X display that accepts a connection;
// on Windows the process's window station is the interactive one).
bool displayAvailable();

// Installs handlers for SIGTERM and SIGINT (on Windows for Ctrl+C and Ctrl+Break of the console;
// a window's close request arrives as a message instead) that write to a pipe; gives the pipe's
// read end, which becomes readable once such a signal arrived. -1 on failure.
int terminationSignalFd();
// Reads and discards what the signal handlers wrote.
void drainTerminationSignalFd(int fd);

} // namespace kx::platform
