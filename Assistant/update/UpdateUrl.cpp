#include "update/UpdateUrl.h"

#include "common/Config.h"
#include "update/UpdateDestination.h"
#include "update/UpdateLog.h"

namespace kx {

// Created before anything else runs, destroyed when the process ends.
static std::mutex g_updateUrlLock;

std::mutex& updateUrlLock()
{
    return g_updateUrlLock;
}

std::string storeUpdateUrl(const std::string& address, const std::string& programFolder)
{
    if (address.empty())
        return "-1";
    const std::string problem = ownServiceAddressProblem(storedUpdateUrl(address), startupValues());
    if (!problem.empty()) {
        updateLog(problem);
        return "-1";
    }
    setUpdateUrl(address, programFolder);
    return "0";
}

std::string storedUpdateUrl(const std::string& address)
{
    std::string value = address;
    if (value.empty() || value.back() != '/')
        value += '/';
    return value + "upgrade/app";
}

void setUpdateUrl(const std::string& address, const std::string& programFolder)
{
    std::lock_guard lock(updateUrlLock());
    writeSysIni("HTTP", "server.update.url", storedUpdateUrl(address), programFolder);
}

} // namespace kx
