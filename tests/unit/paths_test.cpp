// Paths built from UTF-8 text: program paths, separators, and the text <-> path helper that every
// file name of the core goes through.
#include "common/Paths.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

namespace kx {
namespace {

TEST(Paths, ProgramPathJoinsWithOneSeparator)
{
    struct Case {
        std::string folder, relative, expected;
    };
    const Case cases[] = {
        {"/opt/kx", "conf\\sys.ini", "/opt/kx/conf/sys.ini"},
        {"/opt/kx/", "\\conf/sys.ini", "/opt/kx/conf/sys.ini"},
        {"/opt/kx", "", "/opt/kx/"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(programPath(c.folder, c.relative), c.expected) << c.folder << " + " << c.relative;
}

// A file named in UTF-8 (Chinese, accents, an emoji) is created through the helper, found under
// that name by the file system's own listing, and its listed name turns back into the same text.
TEST(Paths, Utf8TextAndPathsRoundTrip)
{
    const fs::path folder = fs::temp_directory_path() / ("kx-paths-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    const std::string name = "组件更新-café-\xF0\x9F\x93\xA6.txt";
    const fs::path file = pathFromUtf8(utf8FromPath(folder) + "/" + name);
    { std::ofstream(file) << "x"; }
    ASSERT_TRUE(fs::is_regular_file(file));

    std::vector<std::string> listed;
    for (const auto& entry : fs::directory_iterator(folder))
        listed.push_back(utf8FromPath(entry.path().filename()));
    EXPECT_EQ(listed, std::vector<std::string>{name});
    EXPECT_EQ(utf8FromPath(file), utf8FromPath(folder) + "/" + name);
    EXPECT_EQ(utf8FromPath(pathFromUtf8(name).extension()), ".txt");
    fs::remove_all(folder);
}

} // namespace
} // namespace kx
