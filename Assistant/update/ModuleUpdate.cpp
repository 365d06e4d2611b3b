#include "update/UpdateSteps.h"

#include "common/Config.h"
#include "common/FolderTools.h"
#include "common/Paths.h"
#include "common/PendingUpdate.h"
#include "http/HttpClient.h"
#include "update/ZipPackage.h"

#include <filesystem>
#include <fstream>

namespace kx {
namespace fs = std::filesystem;
namespace {

// base + "_old" + extension, the extension being the name from its last "." on.
std::string oldFileName(const std::string& name)
{
    const auto dot = name.rfind('.');
    if (dot == std::string::npos)
        return name + "_old";
    return name.substr(0, dot) + "_old" + name.substr(dot);
}

// Renames folder/name to its old name; false when the file is missing or the old name is taken.
bool renameToOld(const fs::path& folder, const std::string& name)
{
    std::error_code ec;
    const fs::path from = folder / name;
    const fs::path to = folder / oldFileName(name);
    if (!fs::exists(fs::symlink_status(from, ec)) || fs::exists(fs::symlink_status(to, ec)))
        return false;
    fs::rename(from, to, ec);
    return !ec;
}

// Replaces the files of one module with the entries of its archive; the module's files are
// restored from their old copies when any entry cannot take the place of an existing file.
// Raises when the archive cannot be read.
bool replaceModuleFiles(const std::string& archivePath, const fs::path& folder)
{
    ZipArchive archive(archivePath);
    std::vector<const ZipEntry*> selected;
    bool failed = false;
    for (const ZipEntry& entry : archive.entries()) {
        if (entry.directory)
            continue;
        const auto relative = safeEntryPath(entry.name);
        if (!relative || entry.symlink) {
            failed = true;
            continue;
        }
        if (renameToOld(folder, relative->filename().string()))
            selected.push_back(&entry);
        else
            failed = true;
    }
    if (!failed) {
        try {
            for (const ZipEntry* entry : selected)
                archive.extract(*entry, folder);
        } catch (const std::exception&) {
            failed = true;
        }
    }
    if (failed)
        sweepOldFiles(folder.string() + "/", SweepMode::Restore);
    return !failed;
}

std::string valueText(const Json& value)
{
    return value.is_string() ? value.get<std::string>() : value.dump();
}

} // namespace

std::string moduleRequestBody(const std::string& programFolder)
{
    Json body = Json::object();
    for (const std::string& key : listSysIniKeys("DLL", programFolder)) {
        const std::string value = readSysIni("DLL", key, "", programFolder);
        if (!value.empty())
            body[key] = value;
    }
    return body.dump();
}

std::string moduleUpdateAddress(const std::string& updateAddress)
{
    const auto slash = updateAddress.rfind('/');
    return (slash == std::string::npos ? std::string() : updateAddress.substr(0, slash + 1)) + "dll";
}

std::string checkModuleUpdate(const std::string& programFolder)
{
    try {
        std::error_code ec;
        if (fs::exists(programPath(programFolder, "upgrade/upgrade.dat"), ec))
            return "2";
        const std::string address = readSysIni("HTTP", "server.update.url", "", programFolder);
        if (address.empty())
            return "100";
        const std::string body = moduleRequestBody(programFolder);
        return fetchModulePackage(moduleUpdateAddress(address), programFolder, body).empty() ? "0" : "2";
    } catch (const std::exception&) {
        return "0";
    }
}

std::string fetchModulePackage(const std::string& address, const std::string& programFolder,
                               const std::string& body)
{
    try {
        const http::ClientResult result = http::postBody(address, body);
        if (!result.ok)
            return "";
        const std::string info = result.reply.header("UpgradeInfo");
        if (info.empty())
            return "";

        const fs::path upgrade = programPath(programFolder, "upgrade");
        removeFolderTree(upgrade.string());
        fs::create_directories(upgrade);

        const fs::path package = programPath(programFolder, "dll_upgrade.zip");
        {
            std::ofstream out(package, std::ios::binary | std::ios::trunc);
            out.write(result.reply.body.data(), static_cast<std::streamsize>(result.reply.body.size()));
            out.close();
            if (!out)
                return "";
        }
        const bool unpacked = unpackPackage(package.string(), upgrade.string());
        std::error_code ec;
        fs::remove(package, ec);
        if (!unpacked)
            return "";

        const Json modules = Json::parse(info);
        if (!modules.is_object())
            return "";
        Json pending = Json::object();
        for (const auto& [name, value] : modules.items()) {
            const std::string version = valueText(value);
            const std::string dllPath = readDllIni("MODULE-DLLPATH", name, "", programFolder);
            if (dllPath.empty())
                continue;
            // Module names come from the server: only a bare name can name an archive.
            if (name.find('/') != std::string::npos || name.find('\\') != std::string::npos || name == "..")
                continue;
            const fs::path archive = upgrade / (name + ".zip");
            if (!fs::is_regular_file(archive, ec))
                continue;
            const fs::path folder = toNativeSeparators(moduleFolder(programFolder, dllPath));
            if (replaceModuleFiles(archive.string(), folder))
                pending[name] = version;
        }

        std::ofstream out(upgrade / "upgrade.dat", std::ios::binary | std::ios::trunc);
        out << pending.dump();
        out.close();
        if (!out)
            return "";
        return "success";
    } catch (const std::exception&) {
        return "";
    }
}

} // namespace kx
