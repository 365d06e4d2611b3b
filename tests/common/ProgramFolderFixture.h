#pragma once
// A temporary program folder for unit tests of routines that take the program folder.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "TempPath.h"

namespace kx::test {

class TempProgramFolder {
public:
    TempProgramFolder() : path_(makeTempFolder("kx-prog-")) {}
    ~TempProgramFolder()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempProgramFolder(const TempProgramFolder&) = delete;
    TempProgramFolder& operator=(const TempProgramFolder&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& relative) const { return path_ + "/" + relative; }
    void write(const std::string& relative, const std::string& content) const
    {
        std::filesystem::create_directories(std::filesystem::path(file(relative)).parent_path());
        std::ofstream(file(relative), std::ios::binary | std::ios::trunc) << content;
    }
    std::string read(const std::string& relative) const
    {
        std::ifstream in(file(relative), std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    bool exists(const std::string& relative) const
    {
        std::error_code ec;
        return std::filesystem::exists(std::filesystem::symlink_status(file(relative), ec));
    }

private:
    std::string path_;
};

} // namespace kx::test
