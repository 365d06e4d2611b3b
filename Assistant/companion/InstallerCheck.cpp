#include "companion/InstallerCheck.h"

#include "base/Text.h"
#include "common/Paths.h"
#include "http/ParameterDecoder.h"
#include "platform/DebianPackages.h"
#include "platform/Files.h"
#include "platform/ProgramProcesses.h"
#include "update/UpdateSignature.h"

#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

namespace kx::companion {
namespace {

CheckedInstaller refused(int status, std::string problem)
{
    CheckedInstaller c;
    c.status = status;
    c.problem = std::move(problem);
    return c;
}

bool readWhole(const std::string& path, std::string& out)
{
    std::ifstream in(pathFromUtf8(path), std::ios::binary);
    if (!in)
        return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// This system's kind of installer: a program where programs carry ".exe", a Debian package
// elsewhere.
const char* installerSuffix()
{
    return platform::programFileName("") == ".exe" ? ".exe" : ".deb";
}

bool endsWithNoCase(std::string_view text, std::string_view suffix)
{
    return text.size() >= suffix.size() && base::equalsNoCase(text.substr(text.size() - suffix.size()), suffix);
}

} // namespace

UpdateSignature companionKey(const std::string& programFolder, std::string& problem)
{
    const std::string keyFile = programPath(programFolder, "conf\\update.pub");
    std::error_code ec;
    if (std::filesystem::exists(std::filesystem::symlink_status(pathFromUtf8(keyFile), ec))) {
        if (!platform::fileChangeableOnlyByOwner(keyFile))
            problem = "conf/update.pub 可被管理员以外的用户改写（或不是普通文件）：不运行任何安装程序";
        return UpdateSignature::load(programFolder);
    }
    const std::string packaged = platform::packagedUpdateKeyPath();
    std::ifstream in(pathFromUtf8(packaged.empty() ? std::string() : packaged), std::ios::binary);
    if (packaged.empty() || !in)
        return UpdateSignature::load(programFolder); // no key anywhere: unsigned updates
    const std::string pem{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    return UpdateSignature::fromPem(pem);
}

std::optional<std::string> installerPathFromQuery(std::string_view query)
{
    if (!base::startsWithNoCase(query, "fp="))
        return std::nullopt;
    return http::decodePath(query.substr(3));
}

CheckedInstaller checkInstaller(const std::string& programFolder, const std::string& requestedPath)
{
    if (requestedPath.empty())
        return refused(400, "请求未给出安装程序路径");
    // A network path is never opened, not even to be resolved: opening \\server\share from the
    // system account would hand the machine's credentials to that server. Device paths (\\?\,
    // \\.\) are refused with them.
    const auto separator = [](char c) { return c == '/' || c == '\\'; };
    if (requestedPath.size() >= 2 && separator(requestedPath[0]) && separator(requestedPath[1]))
        return refused(403, "不接受网络路径或设备路径：" + requestedPath);
    if (requestedPath.find('\0') != std::string::npos || !pathFromUtf8(requestedPath).is_absolute())
        return refused(403, "安装程序路径不是完整路径：" + requestedPath);
    const std::string resolved = platform::resolvedFilePath(requestedPath);
    if (resolved.empty())
        return refused(404, "安装程序不存在：" + requestedPath);
    const std::string download = platform::resolvedFolderPath(programPath(programFolder, "download"));
    if (download.empty() || utf8FromPath(pathFromUtf8(resolved).parent_path()) != download)
        return refused(403, "安装程序不在程序目录的 download 文件夹中：" + requestedPath);
    if (!endsWithNoCase(resolved, installerSuffix()))
        return refused(403, std::string("不是本系统的安装程序（") + installerSuffix() + "）：" + requestedPath);

    CheckedInstaller c;
    c.path = resolved;
    if (!readWhole(resolved, c.bytes))
        return refused(403, "无法读取安装程序：" + resolved);

    std::string keyProblem;
    const UpdateSignature signature = companionKey(programFolder, keyProblem);
    if (!keyProblem.empty())
        return refused(403, keyProblem);
    if (!signature.keyProblem().empty())
        return refused(403, "更新公钥不可用，不运行任何安装程序：" + signature.keyProblem());
    if (signature.required()) {
        std::string header;
        if (!readWhole(resolved + ".sig", header))
            return refused(403, "安装程序没有签名文件（" + resolved + ".sig）");
        const std::string why = signature.check(std::string(base::trimmed(header, " \t\r\n")), c.bytes);
        if (!why.empty())
            return refused(403, "安装程序签名无效：" + why);
    }
    if (endsWithNoCase(resolved, ".deb")) {
        std::string problem = checkPackage(resolved);
        if (!problem.empty())
            return refused(403, problem);
    }
    return c;
}

std::string checkPackage(const std::string& file)
{
    std::string error;
    const std::optional<platform::PackageFields> fields = platform::packageFileFields(file, error);
    if (!fields)
        return "无法读取软件包：" + error;
    if (fields->name != kPackageName)
        return "软件包不是 " + std::string(kPackageName) + "：" + fields->name;
    const std::string arch = platform::systemPackageArchitecture();
    if (fields->architecture != "all" && fields->architecture != arch)
        return "软件包的架构 " + fields->architecture + " 不是本机的 " + arch;
    const std::optional<std::string> installed = platform::installedPackageVersion(kPackageName);
    if (installed && !platform::packageVersionNewer(fields->version, *installed))
        return "软件包版本 " + fields->version + " 不比已安装的 " + *installed + " 新";
    return "";
}

std::string companionFolder(const std::string& programFolder)
{
    return programPath(programFolder, ".companion");
}

std::string stagingFolder(const std::string& programFolder)
{
    return programPath(companionFolder(programFolder), "installer");
}

std::string stageInstaller(const std::string& programFolder, const CheckedInstaller& installer, std::string& error)
{
    const fs::path folder = pathFromUtf8(stagingFolder(programFolder));
    std::error_code ec;
    fs::remove_all(folder, ec);
    fs::create_directories(folder, ec);
    if (ec) {
        error = "无法建立文件夹 " + utf8FromPath(folder) + "：" + ec.message();
        return "";
    }
    const std::string target = utf8FromPath(folder / pathFromUtf8(installer.path).filename());
    if (!platform::replaceFileAtomically(target, installer.bytes)) {
        error = "无法写入 " + target;
        return "";
    }
    return target;
}

InstallerCommand installerCommand(const std::string& stagedInstaller, const std::string& programFolder)
{
    if (endsWithNoCase(stagedInstaller, ".deb"))
        return {"systemd-run",
                {"--collect", "--wait", "--quiet", "--unit=kestrix-assistant-upgrade",
                 "--setenv=DEBIAN_FRONTEND=noninteractive", "sh", "-c",
                 // An installation that an earlier interruption left half configured is finished
                 // first, or apt refuses to run.
                 "dpkg --configure -a && exec apt-get install -y -- \"$0\"", stagedInstaller}};
    return {stagedInstaller, {"/S", "/D=" + toNativeSeparators(programFolder)}};
}

} // namespace kx::companion
