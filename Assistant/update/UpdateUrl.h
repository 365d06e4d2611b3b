#pragma once
// The update server address as pages set it through "/update".
#include <mutex>
#include <string>

namespace kx {

// The process-wide lock under which the stored address is written.
std::mutex& updateUrlLock();

// "-1" when address is empty or names this program's own service or its companion (nothing
// written; the run log says why); otherwise stores it with setUpdateUrl and gives
// "0". Raises what the configuration write raises.
std::string storeUpdateUrl(const std::string& address, const std::string& programFolder);

// address + "/" (when it does not end with one) + "upgrade/app": the address update checks use.
std::string storedUpdateUrl(const std::string& address);

// Stores address + "/" (when it does not end with one) + "upgrade/app" as "server.update.url" in
// section "HTTP" of conf/sys.ini, under the update-address lock.
void setUpdateUrl(const std::string& address, const std::string& programFolder);

} // namespace kx
