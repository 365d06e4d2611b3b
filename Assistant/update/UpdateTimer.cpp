#include "update/UpdateTimer.h"

#include "common/SystemSettings.h"

namespace kx {

int updateTimerPeriod(const std::string& intervalText)
{
    return parseUpdateIntervalHours(intervalText.empty() ? "8" : intervalText) * 3600000;
}

} // namespace kx
