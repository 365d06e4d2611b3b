#include "platform/CalendarTime.h"

#include <windows.h>

#include <time.h>

namespace kx::platform {
namespace {

// 100-nanosecond intervals from 1601-01-01 (the system's epoch) to 1970-01-01.
constexpr long long kUnixEpochInFileTime = 116444736000000000LL;

int dayOfYear(int year, int month, int day)
{
    static constexpr int before[] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return before[month - 1] + day - 1 + (leap && month > 2 ? 1 : 0);
}

std::tm fromSystemTime(const SYSTEMTIME& st, int isDst)
{
    std::tm tm{};
    tm.tm_year = st.wYear - 1900;
    tm.tm_mon = st.wMonth - 1;
    tm.tm_mday = st.wDay;
    tm.tm_hour = st.wHour;
    tm.tm_min = st.wMinute;
    tm.tm_sec = st.wSecond;
    tm.tm_wday = st.wDayOfWeek;
    tm.tm_yday = dayOfYear(st.wYear, st.wMonth, st.wDay);
    tm.tm_isdst = isDst;
    return tm;
}

// The moment as the system's UTC calendar time; false before 1601.
bool systemTimeOf(std::time_t t, SYSTEMTIME& st)
{
    const long long ticks = static_cast<long long>(t) * 10000000LL + kUnixEpochInFileTime;
    if (ticks < 0)
        return false;
    FILETIME ft{};
    ft.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
    ft.dwHighDateTime = static_cast<DWORD>(static_cast<unsigned long long>(ticks) >> 32);
    return FileTimeToSystemTime(&ft, &st) != FALSE;
}

} // namespace

// The C runtime's _s forms write into the caller's result. Moments they do not take (before 1970,
// after 3000) go through the system's own calendar conversion, which knows no daylight flag.
std::tm localCalendarTime(std::time_t t)
{
    std::tm tm{};
    if (localtime_s(&tm, &t) == 0)
        return tm;
    SYSTEMTIME utc{};
    SYSTEMTIME local{};
    if (systemTimeOf(t, utc) && SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local))
        return fromSystemTime(local, -1);
    return std::tm{};
}

std::tm utcCalendarTime(std::time_t t)
{
    std::tm tm{};
    if (gmtime_s(&tm, &t) == 0)
        return tm;
    SYSTEMTIME utc{};
    if (systemTimeOf(t, utc))
        return fromSystemTime(utc, 0);
    return std::tm{};
}

} // namespace kx::platform
