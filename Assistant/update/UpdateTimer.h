#pragma once
// The period of the automatic update check.
#include <string>

namespace kx {

// Milliseconds for an interval in hours as read from "application.upgrade.timer.interval" (an
// empty value counts as 8): N hours = N x 3,600,000 ms; 0 means no further automatic check.
// Raises KxError when the text is not a whole number, is negative, or the period does not fit
// a timer (more than 596 hours).
int updateTimerPeriod(const std::string& intervalText);

} // namespace kx
