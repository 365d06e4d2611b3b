#include "common/RunLog.h"

#include "common/Errors.h"
#include "common/Paths.h"
#include "platform/CalendarTime.h"
#include "platform/SystemCodePage.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace kx {
std::string formatLogLine(std::time_t t, const std::string& message)
{
    std::tm tm = platform::localCalendarTime(t);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
    return "【" + std::string(buf) + "】 " + message;
}

std::string logFileName(std::time_t t)
{
    std::tm tm = platform::localCalendarTime(t);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d-%02d-%02d.txt", tm.tm_year % 100, tm.tm_mon + 1, tm.tm_mday);
    return buf;
}

const std::string& RunLog::add(const std::string& message, std::time_t t)
{
    lines_.push_back(formatLogLine(t, message));
    return lines_.back();
}

void RunLog::save(const std::string& programFolder, std::time_t t) const
{
    const std::vector<std::string> copy = lines_;
    const std::string folder = programPath(programFolder, "log");
    std::error_code ec;
    std::filesystem::create_directories(pathFromUtf8(folder), ec);
    const std::string file = folder + "/" + logFileName(t);
    std::ofstream out(pathFromUtf8(file), std::ios::binary | std::ios::app);
    if (!out)
        throw KxError("EFCreateError", "Cannot open file \"" + file + "\"");
    for (const std::string& line : copy)
        out << platform::toSystemCodePage(line) << "\r\n";
    out.flush();
    if (!out)
        throw KxError("EWriteError", "Cannot write to file \"" + file + "\"");
}

} // namespace kx
