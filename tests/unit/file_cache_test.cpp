// Files read on every request are kept while unchanged: every change must still be seen, also one
// that keeps the size, and also one made twice within the file system's clock tick.
#include "common/FileCache.h"
#include "common/Profile.h"
#include "../common/TempPath.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

using namespace kx;
namespace fs = std::filesystem;

namespace {

void write(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// The file gets one fixed stamp a minute in the past, so its bytes may be kept, and two files (or
// two versions of one) aged here carry the same stamp.
void age(const std::string& path)
{
    static const fs::file_time_type stamp = fs::file_time_type::clock::now() - std::chrono::minutes(1);
    fs::last_write_time(path, stamp);
}

std::string read(const std::string& path)
{
    const auto bytes = cachedFileBytes(path);
    return bytes ? *bytes : "(none)";
}

class FileCacheTest : public ::testing::Test {
protected:
    void SetUp() override { folder_ = test::makeTempFolder("kx-file-cache-"); }
    void TearDown() override { fs::remove_all(folder_); }
    std::string file(const std::string& name) const { return folder_ + "/" + name; }
    std::string folder_;
};

} // namespace

TEST_F(FileCacheTest, EveryChangeIsSeen)
{
    const std::string f = file("a.txt");
    write(f, "first");
    age(f);
    EXPECT_EQ(read(f), "first");
    EXPECT_EQ(read(f), "first");

    // Same size, written now: a fresh stamp.
    write(f, "other");
    EXPECT_EQ(read(f), "other");
    // Written again at once with the same size: the stamp may not move within the clock's tick,
    // but a file this fresh is never served from what was kept.
    write(f, "third");
    EXPECT_EQ(read(f), "third");

    // A longer file with an old stamp (restored from a copy): the size tells.
    write(f, "a longer text");
    age(f);
    EXPECT_EQ(read(f), "a longer text");

    fs::remove(f);
    EXPECT_EQ(read(f), "(none)");
    EXPECT_EQ(read(folder_), "(none)"); // a folder is not a file
}

TEST_F(FileCacheTest, TheProgramsOwnProfileWritesAreReadBack)
{
    const std::string ini = file("sys.ini");
    write(ini, "[APP]\r\nkey=1\r\n");
    age(ini);
    EXPECT_EQ(readProfileString(ini, "APP", "key", ""), "1");
    writeProfileString(ini, "APP", "key", "2");
    // Put the old stamp back: only the written bytes can tell the two apart now.
    age(ini);
    EXPECT_EQ(readProfileString(ini, "APP", "key", ""), "2");
}
