#include "common/Paths.h"

namespace kx {

std::string programPath(const std::string& programFolder, std::string_view relative)
{
    std::string rel = toNativeSeparators(relative);
    std::string out = programFolder;
    while (!out.empty() && out.back() == '/' && out.size() > 1)
        out.pop_back();
    std::size_t start = 0;
    while (start < rel.size() && rel[start] == '/')
        ++start;
    out += '/';
    out.append(rel, start, std::string::npos);
    return out;
}

} // namespace kx
