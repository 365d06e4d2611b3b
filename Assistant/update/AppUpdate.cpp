#include "update/UpdateSteps.h"

#include "common/Config.h"
#include "common/Paths.h"
#include "http/HttpClient.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "update/UpdateDestination.h"
#include "update/FileDownload.h"
#include "update/UpdateLog.h"
#include "update/UpdateSignature.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <mutex>
#include <thread>


namespace kx {
namespace fs = std::filesystem;
namespace {

std::atomic<long long> g_pauseMs{1000};
std::mutex g_timeoutsMutex;
UpdateTimeouts g_timeouts;

// A file name from the server may only name a file directly in the download folder. A colon
// is refused too: on Windows "D:setup.exe" names a file in the current folder of drive D:, not
// in the download folder, and "setup.exe:x" a hidden stream of setup.exe.
bool isBareFileName(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string("/\\:\0", 4)) == std::string::npos;
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

UpdateTimeouts updateTimeouts()
{
    std::lock_guard lock(g_timeoutsMutex);
    return g_timeouts;
}

void setUpdateTimeouts(UpdateTimeouts timeouts)
{
    std::lock_guard lock(g_timeoutsMutex);
    g_timeouts = timeouts;
}

std::uint64_t updateDownloadCap(const std::string& programFolder)
{
    constexpr std::uint64_t kMiB = 1024 * 1024;
    const std::string text = readSysIni("HTTP", "update.max.download.mb", "", programFolder);
    std::uint64_t mib = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), mib);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || mib < 1 || mib > UINT64_MAX / kMiB)
        return 1024 * kMiB;
    return mib * kMiB;
}

std::string downloadCapText(const std::string& programFolder)
{
    return "大小超过上限（" + std::to_string(updateDownloadCap(programFolder)) + " 字节）";
}

http::RequestOptions updateRequestOptions(http::BodySink* sink)
{
    const UpdateTimeouts limits = updateTimeouts();
    http::RequestOptions options;
    options.connectTimeout = limits.connect;
    options.stallTimeout = limits.stall;
    options.sink = sink;
    options.sizedTimeout = {limits.wholeBase, limits.wholeBytesPerSecond};
    refuseOwnServices(options);
    return options;
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

int compareVersions(const std::string& a, const std::string& b)
{
    const std::string x = normalizeVersion(a);
    const std::string y = normalizeVersion(b);
    if (x.empty() || y.empty())
        return x.empty() == y.empty() ? 0 : (x.empty() ? -1 : 1);
    auto part = [](const std::string& v, std::size_t& at) {
        const std::size_t dot = std::min(v.find('.', at), v.size());
        std::string p = at < v.size() ? v.substr(at, dot - at) : "0";
        at = dot + 1;
        return p.empty() ? std::string("0") : p;
    };
    auto digits = [](const std::string& p) {
        return std::all_of(p.begin(), p.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    std::size_t i = 0, j = 0;
    while (i <= x.size() || j <= y.size()) {
        std::string p = part(x, i);
        std::string q = part(y, j);
        int order = 0;
        if (digits(p) && digits(q)) {
            p.erase(0, std::min(p.find_first_not_of('0'), p.size()));
            q.erase(0, std::min(q.find_first_not_of('0'), q.size()));
            order = p.size() != q.size() ? (p.size() < q.size() ? -1 : 1) : p.compare(q);
        } else {
            order = p.compare(q);
        }
        if (order != 0)
            return order < 0 ? -1 : 1;
    }
    return 0;
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
    const fs::path folder = pathFromUtf8(programPath(programFolder, "download"));
    std::string name;
    // Written under a temporary name first, so that a broken or refused download never leaves
    // anything under the final name.
    FileDownload download([&](const http::ClientReply& head) {
        name = head.header("app_name");
        if (!isBareFileName(name))
            return std::string();
        std::error_code ec;
        fs::create_directories(folder, ec);
        return utf8FromPath(folder / (".installer.part" + std::to_string(platform::currentProcessId())));
    }, updateDownloadCap(programFolder));
    try {
        const UpdateSignature signature = UpdateSignature::load(programFolder);
        if (!signature.keyProblem().empty()) {
            updateLog("更新已拒绝：" + signature.keyProblem());
            return "";
        }
        const http::ClientResult result =
            http::postForm(address, {{"version", version}}, updateRequestOptions(&download));
        if (download.tooLarge())
            updateLog("安装包已拒绝：" + downloadCapText(programFolder));
        if (!result.ok || !download.taken() || !download.finish()) {
            download.discard();
            return "";
        }
        if (signature.required()) {
            platform::FileView body;
            const std::string why = body.open(download.path())
                                        ? signature.check(result.reply.header("Content-Signature"), body.bytes())
                                        : "无法读取下载的安装包";
            if (!why.empty()) {
                updateLog("安装包 " + name + " 已拒绝：" + why);
                download.discard();
                return "";
            }
        }
        const fs::path target = folder / pathFromUtf8(name);
        std::error_code ec;
        // The companion service checks the installer's bytes again before it runs them: it finds
        // the signature checked here beside the installer.
        const std::string signatureFile = utf8FromPath(target) + ".sig";
        fs::remove(pathFromUtf8(signatureFile), ec);
        if (signature.required() &&
            !platform::replaceFileAtomically(signatureFile, result.reply.header("Content-Signature"))) {
            updateLog("无法保存安装包 " + name + " 的签名");
            download.discard();
            return "";
        }
        ec.clear();
        fs::rename(pathFromUtf8(download.path()), target, ec);
        if (ec) {
            download.discard();
            return "";
        }
        return utf8FromPath(target);
    } catch (const std::exception&) {
        download.discard();
        return "";
    }
}

} // namespace kx
