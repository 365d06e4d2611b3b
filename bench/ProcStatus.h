#pragma once
// A field of this process's /proc/self/status in kB (VmHWM, VmRSS, ...), or -1 when it is missing.
#include <cstdlib>
#include <fstream>
#include <string>

inline long statusKb(const char* field)
{
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0)
            return std::strtol(line.c_str() + std::string(field).size(), nullptr, 10);
    return -1;
}
