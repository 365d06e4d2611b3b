#pragma once
// The values behind the system settings dialog: the update interval in sys.ini and the
// start-with-system flag.
#include <string>

namespace kx {

// APP/application.upgrade.timer.interval, "8" when missing or empty.
std::string storedUpdateInterval(const std::string& programFolder);

// Writes the interval ("8" for a blank box; otherwise the text as given, not trimmed), then the
// flag (1 or 0; a failed flag write is not reported). Raises KxError "Unable to write to <file>"
// when sys.ini cannot be written; the flag is not written then.
void saveSystemSettings(const std::string& programFolder, const std::string& intervalText, bool autoRun);

// Hours between automatic update checks after the settings dialog closed: the box's text, or the
// stored value when the box is empty, or "8"; 0 means no automatic check. Raises KxError when the
// text is not a whole number, is negative, or its period in milliseconds does not fit a timer
// (more than 596 hours).
int updateIntervalHours(const std::string& boxText, const std::string& programFolder);
// The hours of an interval text by the same rules (no fallback for empty text).
int parseUpdateIntervalHours(const std::string& text);

} // namespace kx
