#pragma once
// Completion of a module update that the previous run unpacked: old files ("_old" in the name)
// are deleted and the new versions recorded.
#include <string>

namespace kx {

enum class SweepMode { Delete = 1, Restore = 2 };

// For every file directly in folder whose name contains "_old": mode Delete removes it, mode
// Restore renames it to the part before the first "_old" plus its extension (print_old.dll ->
// print.dll). True when nothing failed (also when nothing matched).
bool sweepOldFiles(const std::string& folder, SweepMode mode);

// The module folder for a "MODULE-DLLPATH" value: the program folder plus the value's folder part
// (up to and including its last "\" or "/"); the program folder itself when it has none.
std::string moduleFolder(const std::string& programFolder, const std::string& dllPath);

// Reads upgrade/upgrade.dat; for each module whose old files were all deleted, records "v" +
// version in section "DLL" of conf/sys.ini; then removes the file and the upgrade folder. A file
// that is not a JSON object is treated as naming no module.
void applyPendingModuleUpdate(const std::string& programFolder);

} // namespace kx
