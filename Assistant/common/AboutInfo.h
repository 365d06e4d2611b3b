#pragma once
// What the About dialog shows: the application version and one line per installed module.
#include <string>
#include <vector>

namespace kx {

// "Kestrix客户端助手", or "Kestrix客户端助手-" + the installed version when sys.ini names one.
std::string aboutVersionCaption(const std::string& programFolder);

// For each key of section "DLL" of sys.ini in file order whose value is not empty: the file name
// of the module's library (MODULE-DLLPATH of dll.ini, text after the last separator), ten blanks
// and the version.
std::vector<std::string> aboutModuleLines(const std::string& programFolder);

} // namespace kx
