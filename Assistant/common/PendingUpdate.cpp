#include "common/PendingUpdate.h"

#include "common/Config.h"
#include "common/FolderTools.h"
#include "common/Paths.h"
#include "platform/Files.h"

#include <filesystem>

namespace kx {
namespace fs = std::filesystem;

bool sweepOldFiles(const std::string& folder, SweepMode mode, std::vector<std::string>* failed)
{
    bool ok = true;
    std::error_code ec;
    std::vector<fs::path> matches;
    for (fs::directory_iterator it(pathFromUtf8(toNativeSeparators(folder)), ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code sec;
        if (it->is_directory(sec))
            continue;
        if (utf8FromPath(it->path().filename()).find("_old") != std::string::npos)
            matches.push_back(it->path());
    }
    for (const fs::path& p : matches) {
        std::error_code fec;
        bool done = true;
        if (mode == SweepMode::Delete) {
            done = fs::remove(p, fec) && !fec;
        } else {
            const std::string name = utf8FromPath(p.filename());
            const auto dot = name.rfind('.');
            const std::string ext = dot == std::string::npos ? "" : name.substr(dot);
            const std::string restored = name.substr(0, name.find("_old")) + ext;
            // A file under the restored name (a live file beside a leftover old copy) is never
            // replaced: losing the newer file silently is worse than keeping both.
            done = platform::renameNoReplace(utf8FromPath(p), utf8FromPath(p.parent_path() / pathFromUtf8(restored)));
        }
        if (!done) {
            ok = false;
            if (failed)
                failed->push_back(utf8FromPath(p.filename()));
        }
    }
    return ok;
}

std::string moduleFolder(const std::string& programFolder, const std::string& dllPath)
{
    const std::string path = toNativeSeparators(dllPath);
    const char separator = toNativeSeparators("/").front();
    const auto slash = path.rfind(separator);
    if (slash == std::string::npos)
        return programFolder + separator;
    return programPath(programFolder, path.substr(0, slash + 1));
}

void applyPendingModuleUpdate(const std::string& programFolder)
{
    const std::string upgradeFolder = programPath(programFolder, "upgrade");
    const std::string datFile = upgradeFolder + "/upgrade.dat";
    std::error_code ec;
    if (!fs::exists(pathFromUtf8(datFile), ec))
        return;

    std::optional<Json> pending;
    try {
        pending = loadJsonFile(datFile);
    } catch (const std::exception&) {
        pending.reset(); // a damaged file names no module; the folder is still cleared below
    }
    if (pending) {
        for (const auto& [name, value] : pending->items()) {
            // The file records versions as text; any other member names no module.
            if (!value.is_string())
                continue;
            const std::string version = value.get<std::string>();
            if (name.empty() || version.empty())
                continue;
            const std::string dllPath = readDllIni("MODULE-DLLPATH", name, "", programFolder);
            if (dllPath.empty())
                continue;
            if (!sweepOldFiles(moduleFolder(programFolder, dllPath), SweepMode::Delete))
                continue;
            try {
                writeSysIni("DLL", name, "v" + version, programFolder);
            } catch (const std::exception&) {
                // The version stays unrecorded; the next update check offers the update again.
            }
        }
    }
    fs::remove(datFile, ec);
    removeFolderTree(upgradeFolder);
}

} // namespace kx
