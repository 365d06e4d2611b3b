#include "common/Paths.h"

namespace kx {

std::string programPath(const std::string& programFolder, std::string_view relative)
{
    const char separator = toNativeSeparators("/").front();
    std::string rel = toNativeSeparators(relative);
    std::string out = programFolder;
    while (!out.empty() && out.back() == separator && out.size() > 1)
        out.pop_back();
    std::size_t start = 0;
    while (start < rel.size() && rel[start] == separator)
        ++start;
    out += separator;
    out.append(rel, start, std::string::npos);
    return out;
}

} // namespace kx
