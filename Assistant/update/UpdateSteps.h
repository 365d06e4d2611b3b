#pragma once
// The steps of an update check. Each gives a short result text: "0" nothing to do, "100" no
// update server address or installed version configured, "2" a module update waits for a restart,
// any other text the full path of a downloaded installer. Every failure on the way counts as the
// absence of an update; nothing here raises. Update requests give up when they cannot connect
// within 10 s or when no byte moves for 30 s. Reply bodies go straight to their files; with
// conf/update.pub present they are used only when signed (UpdateSignature). Refusals are written
// to the run log (UpdateLog).
#include "http/HttpClient.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace kx {

// The pause at the start of a check and before the application request (1000 ms). Tests shorten it.
std::chrono::milliseconds updatePause();
void setUpdatePause(std::chrono::milliseconds pause);

// The time-outs of every update request: 10 s to connect, 30 s without a byte, and the whole
// request within 60 s plus one second per 256 KiB of its reply (so a server that trickles a byte
// now and then cannot hold a check, and every check after it, for ever). Tests shorten them.
struct UpdateTimeouts {
    std::chrono::milliseconds connect{10000};
    std::chrono::seconds stall{30};
    std::chrono::milliseconds wholeBase{60000};
    std::uint64_t wholeBytesPerSecond = 256 * 1024;
};
UpdateTimeouts updateTimeouts();
void setUpdateTimeouts(UpdateTimeouts timeouts);

// The most an installer or a module package may have: [HTTP] update.max.download.mb of
// conf/sys.ini, in MiB (a whole number from 1), else 1024 (1 GiB).
std::uint64_t updateDownloadCap(const std::string& programFolder);
// The run log's reason for a download refused for its size: "大小超过上限（N 字节）".
std::string downloadCapText(const std::string& programFolder);

// The options of an update request: the time-outs above, the reply body into `sink`, and never to
// the program's own service or its companion.
http::RequestOptions updateRequestOptions(http::BodySink* sink);

// The installed version as sent to the server: blanks (and control characters) trimmed, lower case, and only what follows
// the first "v" when there is one (" V2.0.1 " -> "2.0.1", "ver3" -> "er3").
std::string normalizeVersion(const std::string& version);

// Orders two versions as people read them: after normalizeVersion, dot-separated parts compared
// as numbers where both are digits and as text otherwise, missing parts counting as 0 ("1.10" >
// "1.9", "v1.2" == "1.2.0"). An empty version is older than any other. Negative, zero, positive.
int compareVersions(const std::string& a, const std::string& b);

// Application check: "100" without version or update address, the installer path when the server
// sent one, otherwise "0".
std::string checkAppUpdate(const std::string& programFolder);

// Posts "version" to address. When the reply names the installer in the header "app_name", its
// body is stored as download/<app_name> (written under a temporary name, checked against its
// signature when one is required, and renamed when complete) and the full path is given;
// otherwise, or on any failure, "".
std::string downloadAppInstaller(const std::string& address, const std::string& programFolder,
                                 const std::string& version);

// Module check: "2" while upgrade/upgrade.dat exists (without asking the server), "100" without
// update address, "2" when a package was processed, otherwise "0".
std::string checkModuleUpdate(const std::string& programFolder);

// The module request body: a compact JSON object of the section "DLL" of conf/sys.ini, keys in
// file order, keys with empty values left out, as the bytes sent: in the system code page
// (platform/SystemCodePage.h).
std::string moduleRequestBody(const std::string& programFolder);
// The update address up to and including its last "/", followed by "dll".
std::string moduleUpdateAddress(const std::string& updateAddress);

// Posts body to address; when the reply carries "UpgradeInfo", stores the package as
// dll_upgrade.zip (checked against its signature when one is required), unpacks it into upgrade/,
// replaces the files of each listed module (old files kept as "_old" beside them, never replacing
// a file; the module rolled back when one of its files cannot be replaced) and writes
// upgrade/upgrade.dat. Gives "success", or "" when there was nothing to update or anything failed.
std::string fetchModulePackage(const std::string& address, const std::string& programFolder,
                               const std::string& body);

} // namespace kx
