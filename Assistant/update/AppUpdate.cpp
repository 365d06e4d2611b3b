#include "update/UpdateSteps.h"

#include "common/Config.h"
#include "common/Paths.h"
#include "http/HttpClient.h"

#include <atomic>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <thread>

#include <unistd.h>

namespace kx {
namespace fs = std::filesystem;
namespace {

std::atomic<long long> g_pauseMs{1000};

// A file name from the server may only name a file directly in the download folder.
bool isBareFileName(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\\') == std::string::npos && name.find('\0') == std::string::npos;
}

} // namespace

std::chrono::milliseconds updatePause()
{
    return std::chrono::milliseconds(g_pauseMs.load());
}

void setUpdatePause(std::chrono::milliseconds pause)
{
    g_pauseMs.store(pause.count());
}

std::string normalizeVersion(const std::string& version)
{
    // Blanks and control characters at both ends are dropped.
    auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    auto b = version.begin();
    auto e = version.end();
    while (b != e && blank(*b))
        ++b;
    while (e != b && blank(*(e - 1)))
        --e;
    std::string v(b, e);
    for (char& c : v)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const auto at = v.find('v');
    return at == std::string::npos ? v : v.substr(at + 1);
}

std::string checkAppUpdate(const std::string& programFolder)
{
    std::this_thread::sleep_for(updatePause());
    try {
        const std::string version =
            normalizeVersion(readSysIni("APP", "application.current.version", "", programFolder));
        const std::string address = readSysIni("HTTP", "server.update.url", "", programFolder);
        if (version.empty() || address.empty())
            return "100";
        const std::string path = downloadAppInstaller(address, programFolder, version);
        return path.empty() ? "0" : path;
    } catch (const std::exception&) {
        return "0";
    }
}

std::string downloadAppInstaller(const std::string& address, const std::string& programFolder,
                                 const std::string& version)
{
    try {
        const http::ClientResult result = http::postForm(address, {{"version", version}});
        if (!result.ok)
            return "";
        const std::string name = result.reply.header("app_name");
        if (!isBareFileName(name))
            return "";
        const fs::path folder = programPath(programFolder, "download");
        fs::create_directories(folder);
        const fs::path target = folder / name;
        // Written under a temporary name first, so that a broken write never leaves a truncated
        // installer under the final name.
        const fs::path temp = folder / ("." + name + ".part" + std::to_string(::getpid()));
        {
            std::ofstream out(temp, std::ios::binary | std::ios::trunc);
            out.write(result.reply.body.data(), static_cast<std::streamsize>(result.reply.body.size()));
            out.close();
            if (!out) {
                std::error_code ec;
                fs::remove(temp, ec);
                return "";
            }
        }
        std::error_code ec;
        fs::rename(temp, target, ec);
        if (ec) {
            fs::remove(temp, ec);
            return "";
        }
        return target.string();
    } catch (const std::exception&) {
        return "";
    }
}

} // namespace kx
