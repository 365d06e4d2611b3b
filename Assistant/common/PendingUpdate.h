#pragma once
// Completion of a module update that the previous run unpacked: old files ("_old" in the name)
// are deleted and the new versions recorded.
#include <string>
#include <vector>

namespace kx {

enum class SweepMode { Delete = 1, Restore = 2 };

// For every file directly in folder whose name contains "_old": mode Delete removes it, mode
// Restore renames it to the part before the first "_old" plus its extension (print_old.dll ->
// print.dll), never over an existing file: such an old file stays where it is, beside the file
// that holds its name. True when nothing failed (also when nothing matched); the names of the old
// files that could not be handled are added to failed when given.
bool sweepOldFiles(const std::string& folder, SweepMode mode, std::vector<std::string>* failed = nullptr);

// The module folder for a "MODULE-DLLPATH" value: the program folder plus the value's folder part
// (up to and including its last "\" or "/"); the program folder itself when it has none.
std::string moduleFolder(const std::string& programFolder, const std::string& dllPath);

// Reads upgrade/upgrade.dat; for each module whose old files were all deleted, records "v" +
// version in section "DLL" of conf/sys.ini; then removes the file and the upgrade folder. Only
// members whose version is a text name a module; a file that is not a JSON object names none.
void applyPendingModuleUpdate(const std::string& programFolder);

} // namespace kx
