#pragma once
// Fresh temporary files and folders for tests, in the system's temporary folder, with names no
// other run picks (created exclusively, so two test processes never share one).
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>

namespace kx::test {

inline std::string randomSuffix()
{
    static thread_local std::mt19937_64 random{std::random_device{}()};
    static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string s(12, '0');
    for (char& c : s)
        c = digits[random() % (sizeof(digits) - 1)];
    return s;
}

// Creates an empty folder "<temp>/<prefix><random>" and returns its path.
inline std::string makeTempFolder(const std::string& prefix)
{
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::filesystem::path p = base / (prefix + randomSuffix());
        std::error_code ec;
        if (std::filesystem::create_directory(p, ec))
            return p.generic_string();
    }
    throw std::runtime_error("no temporary folder could be created in " + base.string());
}

// Creates an empty file "<temp>/<prefix><random>" that did not exist before and returns its path.
inline std::string makeTempFile(const std::string& prefix)
{
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::filesystem::path p = base / (prefix + randomSuffix());
        std::error_code ec;
        if (std::filesystem::exists(p, ec))
            continue;
        std::ofstream out(p, std::ios::binary);
        if (out)
            return p.generic_string();
    }
    throw std::runtime_error("no temporary file could be created in " + base.string());
}

} // namespace kx::test
