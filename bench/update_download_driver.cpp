// Runs one update download step against an update server and reports what it cost: the step's
// result, the bytes it left under upgrade/ and download/, and the process's peak resident memory.
// Built and run by bench/update_bench.sh.
#include "update/UpdateSteps.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

static unsigned long long bytesUnder(const fs::path& folder)
{
    unsigned long long total = 0;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        if (it->is_regular_file(ec))
            total += it->file_size(ec);
    return total;
}

static std::string peakRss()
{
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return line.substr(6);
    return "?";
}

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s installer|package URL PROGRAM-FOLDER\n", argv[0]);
        return 2;
    }
    const std::string mode = argv[1], url = argv[2], folder = argv[3];
    const std::string result = mode == "installer" ? kx::downloadAppInstaller(url, folder, "1.0")
                                                   : kx::fetchModulePackage(url, folder, "{}");
    std::printf("result: '%s'\n", result.c_str());
    std::printf("bytes under upgrade/: %llu\n", bytesUnder(fs::path(folder) / "upgrade"));
    std::printf("bytes under download/: %llu\n", bytesUnder(fs::path(folder) / "download"));
    std::printf("peak RSS:%s\n", peakRss().c_str());
    return 0;
}
