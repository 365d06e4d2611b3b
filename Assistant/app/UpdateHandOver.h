#pragma once
// UpdateHandOver: the non-visual side of updating the client. It starts update checks, hands an
// update found by a check over to the companion service (after asking the user), asks the
// companion service to restart the client, and repairs the companion service when it does not
// answer. Outcomes of companion service requests go to the balloon function; errors are shown in a
// message box through the prompter. Runs on the main thread; knows no toolkit.
#include "common/WindowTable.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace kx {

class UpdateHandOver {
public:
    using Balloon = std::function<void(const std::string&)>;

    UpdateHandOver(std::string programFolder, Balloon balloon);

    // Starts one update check (manual: the user asked for it) that reports to `window`. Returns the
    // milliseconds until the next automatic check from "application.upgrade.timer.interval"
    // (empty = 8 hours, 0 = no further automatic check), or nothing when an error was reported.
    std::optional<int> startCheck(bool manual, WindowId window);
    // "重新启动": asks, then asks the companion service to restart the client.
    void restartClient();
    // WM_UPGRADE_APP (lParam: UpgradeAppRecord*) from an update check: asks, then hands the
    // downloaded installer over to the companion service.
    void upgradeAppMessage(std::intptr_t lParam);
    // WM_UPGRADE_DLL from an update check: asks, then asks for a restart that installs the modules.
    void upgradeDllMessage();

    // Starts (registering it when missing) the companion service; true when it started.
    static bool repairService(const std::string& serviceName, const std::string& programFolder);

private:
    std::string programFolder_;
    Balloon balloon_;
};

} // namespace kx
