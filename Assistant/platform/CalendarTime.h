#pragma once
// A moment broken into calendar fields, in the local time zone or in UTC, safe to call from any
// thread (the C library's plain localtime/gmtime share one static result).
#include <ctime>

namespace kx::platform {

std::tm localCalendarTime(std::time_t t);
std::tm utcCalendarTime(std::time_t t);

} // namespace kx::platform
