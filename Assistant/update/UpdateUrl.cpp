#include "update/UpdateUrl.h"

#include "common/Config.h"

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
    setUpdateUrl(address, programFolder);
    return "0";
}

void setUpdateUrl(const std::string& address, const std::string& programFolder)
{
    std::lock_guard lock(updateUrlLock());
    std::string value = address;
    if (value.empty() || value.back() != '/')
        value += '/';
    value += "upgrade/app";
    writeSysIni("HTTP", "server.update.url", value, programFolder);
}

} // namespace kx
