#include "companion/CompanionLog.h"

#include "common/Paths.h"
#include "common/RunLog.h"
#include "platform/SystemCodePage.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace kx::companion {

std::string serviceLogFileName(std::time_t t)
{
    return "service-" + logFileName(t);
}

CompanionLog::CompanionLog(std::string programFolder) : programFolder_(std::move(programFolder)) {}

void CompanionLog::write(const std::string& message, std::time_t t)
{
    const std::string line = formatLogLine(t, message);
    std::lock_guard lock(mutex_);
    std::fprintf(stderr, "%s\n", line.c_str());
    const std::string folder = programPath(programFolder_, "log");
    std::error_code ec;
    std::filesystem::create_directories(pathFromUtf8(folder), ec);
    std::ofstream out(pathFromUtf8(programPath(folder, serviceLogFileName(t))), std::ios::binary | std::ios::app);
    out << platform::toSystemCodePage(line) << "\r\n";
    out.flush();
    if (!out)
        std::fprintf(stderr, "KxService: the log in %s cannot be written\n", folder.c_str());
}

} // namespace kx::companion
