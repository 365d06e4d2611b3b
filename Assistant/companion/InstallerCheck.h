#pragma once
// The checks an installer named by an update request must pass before the companion service runs
// it with the machine's highest rights. The request comes over loopback and could come from any
// local program, so the path is trusted for nothing:
//   - a network or device path (beginning with two separators) is refused before anything is
//     opened;
//   - it must resolve (after "." and "..", links, junctions and short names) to a regular file
//     directly inside the program folder's download folder (itself resolved the same way);
//   - when conf/update.pub exists, the file's bytes must carry a good signature under that key (a
//     key file others than its owner may change refuses all; without the file, the key the
//     installed package carries, if any: see companionKey); the
//     assistant keeps the Content-Signature it checked on download beside the installer, as
//     "<installer>.sig" holding "ed25519=<Base64>"; a key file that cannot be used refuses all;
//   - the installer must be of the kind this system runs (".exe" on Windows, ".deb" elsewhere);
//     a package must be this program's (kPackageName), of this system's architecture, and newer
//     than the installed one (never a downgrade).
// The bytes that were checked are what runs: they are read once, checked, and written to a
// folder of the companion's own (stageInstaller), so a file changed after the check never runs.
#include "update/UpdateSignature.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kx::companion {

inline constexpr const char* kPackageName = "kestrix-assistant";

struct CheckedInstaller {
    int status = 200;     // 200 when the installer may run; else the reply's status
    std::string problem;  // why not (a log line and the reply's text)
    std::string path;     // the resolved installer path
    std::string bytes;    // the file's bytes as checked
};

// The key the companion checks installers with: conf/update.pub when it exists (problem set when
// it is not a regular file only its owner, root or this user, may change); without it the key the
// installed package carries (platform::packagedUpdateKeyPath), so that deleting conf/update.pub
// from a folder a group may write cannot turn the check off; else none (unsigned updates).
UpdateSignature companionKey(const std::string& programFolder, std::string& problem);

// The installer path of an update request's raw query: everything after a leading "fp=",
// percent-decoded as UTF-8 bytes ("+" stays "+"). The assistant sends the path as the only
// parameter and encodes only blanks and bytes outside ASCII, so "&" belongs to the path. Nothing
// when the query does not start with "fp=".
std::optional<std::string> installerPathFromQuery(std::string_view query);

CheckedInstaller checkInstaller(const std::string& programFolder, const std::string& requestedPath);

// "" when the Debian package file may be installed as an update of this program; else why not.
std::string checkPackage(const std::string& file);

// The companion's own folder in the program folder, .companion: writable by administrators only
// wherever the program folder is (unlike upgrade/ or download/, which the assistant writes and a
// package may open to a group), so nothing there can be swapped between the check and the run.
std::string companionFolder(const std::string& programFolder);
// The folder the checked bytes are written to and run from: .companion/installer.
std::string stagingFolder(const std::string& programFolder);
// Writes the checked bytes to the staging folder (emptied first) under the installer's own name;
// gives the new file's path, or "" with the reason in error.
std::string stageInstaller(const std::string& programFolder, const CheckedInstaller& installer, std::string& error);

// The command that runs an installer unattended into the program folder: an installer program
// silently ("/S", then "/D=<folder>", which must come last and unquoted); a Debian package
// through apt (so that its dependencies resolve) in a transient system unit of its own: the
// package's scripts restart the companion's unit, and systemd ends every process of a unit it
// restarts, apt and dpkg included, which would leave a half-configured package.
struct InstallerCommand {
    std::string program;
    std::vector<std::string> arguments;
};
InstallerCommand installerCommand(const std::string& stagedInstaller, const std::string& programFolder);

} // namespace kx::companion
