#include "common/SystemSettings.h"

#include "common/AutoRun.h"
#include "common/Config.h"
#include "common/Errors.h"
#include "common/PrintSettings.h"

#include <charconv>
#include <climits>

namespace kx {
namespace {

constexpr const char* kSection = "APP";
constexpr const char* kKey = "application.upgrade.timer.interval";

} // namespace

std::string storedUpdateInterval(const std::string& programFolder)
{
    std::string value = readSysIni(kSection, kKey, "8", programFolder);
    return value.empty() ? "8" : value;
}

void saveSystemSettings(const std::string& programFolder, const std::string& intervalText, bool autoRun)
{
    writeSysIni(kSection, kKey, isBlank(intervalText) ? "8" : intervalText, programFolder);
    writeAutoRun(autoRun ? 1 : 0);
}

int parseUpdateIntervalHours(const std::string& text)
{
    // Leading blanks and a sign are accepted, as by the usual text-to-integer conversion.
    std::size_t start = 0;
    while (start < text.size() && text[start] == ' ')
        ++start;
    if (start + 1 < text.size() && text[start] == '+' && text[start + 1] != '-')
        ++start;
    int hours = 0;
    const char* first = text.data() + start;
    const char* last = text.data() + text.size();
    auto [end, ec] = std::from_chars(first, last, hours);
    if (first == last || ec != std::errc() || end != last)
        throw KxError("EConvertError", "'" + text + "' is not a valid integer value");
    // The period in milliseconds has to fit the timer.
    if (hours < 0 || hours > INT_MAX / 3600000)
        throw KxError("ERangeError", "'" + text + "' is not a valid update interval");
    return hours;
}

int updateIntervalHours(const std::string& boxText, const std::string& programFolder)
{
    return parseUpdateIntervalHours(boxText.empty() ? storedUpdateInterval(programFolder) : boxText);
}

} // namespace kx
