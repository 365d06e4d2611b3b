#pragma once
// A temporary program folder for unit tests of routines that take the program folder. Its path is
// written with this system's own separators, as the program folder the program takes from its
// executable's path is, so paths the program builds below it compare equal to file().
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "TempPath.h"

namespace kx::test {

class TempProgramFolder {
public:
    TempProgramFolder() : path_(nativeSeparators(makeTempFolder("kx-prog-"))) {}
    ~TempProgramFolder()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempProgramFolder(const TempProgramFolder&) = delete;
    TempProgramFolder& operator=(const TempProgramFolder&) = delete;

    const std::string& path() const { return path_; }
    // The folder's path + separator + relative ("/" in relative becomes the system's separator).
    std::string file(const std::string& relative) const { return nativeSeparators(path_ + "/" + relative); }
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
    static std::string nativeSeparators(std::string text)
    {
        for (char& c : text)
            if (c == '/')
                c = static_cast<char>(std::filesystem::path::preferred_separator);
        return text;
    }
    std::string path_;
};

} // namespace kx::test
