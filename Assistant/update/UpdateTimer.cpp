#include "update/UpdateTimer.h"

#include "common/Errors.h"

#include <charconv>
#include <climits>

namespace kx {

int updateTimerPeriod(const std::string& intervalText)
{
    const std::string text = intervalText.empty() ? "8" : intervalText;
    long long hours = 0;
    const char* first = text.data();
    const char* last = first + text.size();
    if (first != last && *first == '+')
        ++first;
    const auto [end, ec] = std::from_chars(first, last, hours);
    if (ec != std::errc() || end != last || first == last)
        throw KxError("EConvertError", "'" + text + "' is not a valid integer value");
    if (hours < 0 || hours > INT_MAX / 3600000LL)
        throw KxError("ERangeError", "'" + text + "' is not a valid update interval");
    return static_cast<int>(hours * 3600000LL);
}

} // namespace kx
