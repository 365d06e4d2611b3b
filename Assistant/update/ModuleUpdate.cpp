#include "update/UpdateSteps.h"

#include "common/Config.h"
#include "common/FolderTools.h"
#include "common/Paths.h"
#include "common/PendingUpdate.h"
#include "http/HttpClient.h"
#include "platform/Files.h"
#include "platform/SystemCodePage.h"
#include "update/FileDownload.h"
#include "update/UpdateLog.h"
#include "update/UpdateSignature.h"
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

// Renames folder/name to its old name, never over an existing file. "" when done, else why not.
std::string renameToOld(const fs::path& folder, const std::string& name)
{
    const fs::path from = folder / pathFromUtf8(name);
    const fs::path to = folder / pathFromUtf8(oldFileName(name));
    if (platform::renameNoReplace(utf8FromPath(from), utf8FromPath(to)))
        return "";
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(from, ec)))
        return "模块目录中没有文件 " + name;
    if (fs::exists(fs::symlink_status(to, ec)))
        return oldFileName(name) + " 已存在";
    return name + " 无法改名为 " + oldFileName(name);
}

// Replaces the files of one module with the entries of its archive; the module's files are
// restored from their old copies when any entry cannot take the place of an existing file or
// cannot be extracted (what was extracted goes first, so that no restore meets a new file).
// Every outcome but success is written to the run log. Raises when the archive cannot be read.
bool replaceModuleFiles(const std::string& module, const std::string& archivePath, const fs::path& folder,
                        UnpackBudget& budget)
{
    ZipArchive archive(archivePath);
    std::vector<const ZipEntry*> selected;
    std::string why;
    for (const ZipEntry& entry : archive.entries()) {
        if (entry.directory)
            continue;
        const auto relative = safeEntryPath(entry.name);
        if (!relative || entry.symlink) {
            if (why.empty())
                why = "条目路径不安全：" + entry.name;
            continue;
        }
        const std::string failure = renameToOld(folder, utf8FromPath(relative->filename()));
        if (failure.empty())
            selected.push_back(&entry);
        else if (why.empty())
            why = failure;
    }
    if (why.empty()) {
        std::vector<fs::path> written;
        try {
            archive.checkClaims(selected, budget);
            for (const ZipEntry* entry : selected) {
                written.push_back(folder / *safeEntryPath(entry->name));
                archive.extract(*entry, folder, budget);
            }
        } catch (const std::exception& e) {
            why = std::string("解压失败：") + e.what();
            for (const fs::path& p : written) {
                std::error_code ec;
                fs::remove(p, ec);
            }
        }
    }
    if (why.empty())
        return true;

    std::vector<std::string> stuck;
    sweepOldFiles(utf8FromPath(folder) + "/", SweepMode::Restore, &stuck);
    updateLog("组件 " + module + " 未更新，已回滚：" + why);
    for (const std::string& old : stuck)
        updateLog("组件 " + module + " 回滚未完成：" + old + " 无法恢复（同名文件已存在或无法改名），两个文件均保留");
    return false;
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
    return platform::toSystemCodePage(body.dump());
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
        if (fs::exists(pathFromUtf8(programPath(programFolder, "upgrade/upgrade.dat")), ec))
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
    const fs::path package = pathFromUtf8(programPath(programFolder, "dll_upgrade.zip"));
    std::string info;
    FileDownload download([&](const http::ClientReply& head) {
        info = head.header("UpgradeInfo");
        return info.empty() ? std::string() : utf8FromPath(package);
    }, updateDownloadCap(programFolder));
    try {
        const UpdateSignature signature = UpdateSignature::load(programFolder);
        if (!signature.keyProblem().empty()) {
            updateLog("更新已拒绝：" + signature.keyProblem());
            return "";
        }
        const http::ClientResult result = http::postBody(address, body, updateRequestOptions(&download));
        if (download.tooLarge())
            updateLog("组件更新包已拒绝：" + downloadCapText(programFolder));
        if (!result.ok || !download.taken() || !download.finish()) {
            download.discard();
            return "";
        }
        // The package is checked before anything of it is unpacked.
        if (signature.required()) {
            platform::FileView bytes;
            const std::string why = bytes.open(utf8FromPath(package))
                                        ? signature.check(result.reply.header("Content-Signature"),
                                                          modulePackageManifest(info, bytes.bytes()))
                                        : "无法读取下载的组件更新包";
            if (!why.empty()) {
                updateLog("组件更新包已拒绝：" + why);
                download.discard();
                return "";
            }
        }

        const fs::path upgrade = pathFromUtf8(programPath(programFolder, "upgrade"));
        removeFolderTree(utf8FromPath(upgrade));
        fs::create_directories(upgrade);

        // One budget for everything this package unpacks, module archives included.
        UnpackBudget budget;
        const UnpackResult unpacked = unpackPackage(utf8FromPath(package), utf8FromPath(upgrade), budget);
        download.discard();
        if (!unpacked.ok) {
            if (unpacked.unsafe) {
                updateLog("组件更新包不安全，已拒绝：" + unpacked.why);
                removeFolderTree(utf8FromPath(upgrade)); // nothing of a refused package stays on disk
            } else {
                updateLog("组件更新包解压失败：" + unpacked.why);
            }
            return "";
        }

        Json modules;
        try {
            modules = Json::parse(info);
        } catch (const std::exception&) {
            modules = nullptr;
        }
        if (!modules.is_object()) {
            updateLog("组件更新信息 UpgradeInfo 不是 JSON 对象，更新包未使用");
            return "";
        }
        struct Planned {
            std::string name;
            std::string version;
            fs::path archive;
            fs::path folder;
        };
        std::vector<Planned> plan;
        std::error_code ec;
        for (const auto& [name, value] : modules.items()) {
            const std::string dllPath = readDllIni("MODULE-DLLPATH", name, "", programFolder);
            if (dllPath.empty())
                continue;
            // Module names come from the server: only a bare name can name an archive.
            if (name.find('/') != std::string::npos || name.find('\\') != std::string::npos || name == "..")
                continue;
            const fs::path archive = upgrade / pathFromUtf8(name + ".zip");
            if (!fs::is_regular_file(archive, ec))
                continue;
            // A package never takes a module back to an older version (a replayed old package).
            const std::string installed = readSysIni("DLL", name, "", programFolder);
            if (compareVersions(valueText(value), installed) < 0) {
                updateLog("组件 " + name + " 未更新：更新包的版本 " + valueText(value) + " 低于已安装的版本 " + installed);
                continue;
            }
            plan.push_back({name, valueText(value), archive,
                            pathFromUtf8(toNativeSeparators(moduleFolder(programFolder, dllPath)))});
        }

        // The module archives together must fit in what the package left of the budget: a package
        // whose total is over the cap is refused before any module is replaced, never half applied.
        try {
            UnpackBudget claims = budget;
            for (const Planned& module : plan) {
                const ZipArchive archive(utf8FromPath(module.archive));
                archive.checkClaims(claims);
                for (const ZipEntry& entry : archive.entries())
                    claims.bytes -= entry.size;
                claims.entries -= archive.entries().size();
            }
        } catch (const UnsafeArchive& e) {
            updateLog(std::string("组件更新包不安全，已拒绝：") + e.what());
            removeFolderTree(utf8FromPath(upgrade));
            return "";
        }

        Json pending = Json::object();
        for (const Planned& module : plan) {
            try {
                if (replaceModuleFiles(module.name, utf8FromPath(module.archive), module.folder, budget))
                    pending[module.name] = module.version;
            } catch (const std::exception& e) {
                updateLog("组件 " + module.name + " 更新失败：" + e.what());
                return "";
            }
        }

        std::ofstream out(upgrade / "upgrade.dat", std::ios::binary | std::ios::trunc);
        out << pending.dump();
        out.close();
        if (!out)
            return "";
        return "success";
    } catch (const std::exception& e) {
        updateLog(std::string("组件更新失败：") + e.what());
        download.discard();
        return "";
    }
}

} // namespace kx
