#include "common/AboutInfo.h"

#include "common/Config.h"
#include "common/WindowMessages.h"

namespace kx {

std::string aboutVersionCaption(const std::string& programFolder)
{
    const std::string version = readSysIni("APP", "application.current.version", "", programFolder);
    std::string caption = kApplicationTitle;
    if (!version.empty())
        caption += "-" + version;
    return caption;
}

std::vector<std::string> aboutModuleLines(const std::string& programFolder)
{
    std::vector<std::string> lines;
    for (const std::string& name : listSysIniKeys("DLL", programFolder)) {
        const std::string version = readSysIni("DLL", name, "", programFolder);
        if (version.empty())
            continue;
        const std::string path = readDllIni("MODULE-DLLPATH", name, "", programFolder);
        const std::size_t slash = path.find_last_of("\\/");
        const std::string fileName = slash == std::string::npos ? path : path.substr(slash + 1);
        lines.push_back(fileName + std::string(10, ' ') + version);
    }
    return lines;
}

} // namespace kx
