// Files read on every request are kept while unchanged: every change must still be seen, also one
// that keeps the size, and also one made twice within the file system's clock tick.
#include "common/FileCache.h"
#include "common/Profile.h"
#include "platform/FolderWatch.h"
#include "../common/TempPath.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

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

namespace {

bool watchesFolders()
{
    return platform::FolderWatch().available();
}

} // namespace

// Where folders are watched, a kept file is served without a look at the disk, so the watch alone
// must tell of every change: here bytes and stamp are put back exactly as they were kept.
TEST_F(FileCacheTest, AWatchedFolderTellsOfChangesTheStampHides)
{
    if (!watchesFolders())
        GTEST_SKIP() << "no folder watch on this system";
    const std::string f = file("dll.ini");
    write(f, "first");
    age(f);
    EXPECT_EQ(read(f), "first");
    EXPECT_EQ(read(f), "first");
    for (const char* next : {"other", "third"}) {
        write(f, next);
        age(f);
        EXPECT_EQ(read(f), next);
    }
    // Replaced through a rename, as editors and installers do, with the same size and stamp.
    write(file("dll.ini.new"), "fifth");
    age(file("dll.ini.new"));
    fs::rename(file("dll.ini.new"), f);
    EXPECT_EQ(read(f), "fifth");
}

// One request sees one state of its files: inside a scope, a change after the first read is seen
// by the next scope only.
TEST_F(FileCacheTest, AScopeLooksForChangesOnce)
{
    if (!watchesFolders())
        GTEST_SKIP() << "no folder watch on this system";
    const std::string f = file("json2.txt");
    write(f, "one");
    EXPECT_EQ(read(f), "one");
    {
        const FileLookScope request;
        EXPECT_EQ(read(f), "one");
        write(f, "two");
        EXPECT_EQ(read(f), "one");
        const FileLookScope nested;
        EXPECT_EQ(read(f), "one");
    }
    const FileLookScope next;
    EXPECT_EQ(read(f), "two");
}

// A watch hears the folder it was given. When a parent folder is renamed and a new one takes its
// place, nothing is heard; the kept bytes are compared with the disk again within a second.
TEST_F(FileCacheTest, AFolderThatTakesTheWatchedOnesPlaceIsSeen)
{
    if (!watchesFolders())
        GTEST_SKIP() << "no folder watch on this system";
    fs::create_directories(file("program/conf"));
    const std::string f = file("program/conf/dll.ini");
    write(f, "old folder");
    EXPECT_EQ(read(f), "old folder");
    fs::rename(file("program"), file("program.old"));
    fs::create_directories(file("program/conf"));
    write(f, "new folder");
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_EQ(read(f), "new folder");
}

// Readers on many threads while a writer rewrites the file (same size, same stamp): once the last
// write has returned, every reader's next read has the last bytes.
TEST_F(FileCacheTest, EveryThreadSeesTheLastWrite)
{
    const std::string f = file("sys.ini");
    write(f, "v000");
    age(f);
    std::atomic<int> written{0};
    std::atomic<int> stale{0};
    std::atomic<int> missing{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 6; ++t)
        readers.emplace_back([&] {
            while (true) {
                const int before = written.load();
                const FileLookScope request;
                const std::string got = read(f);
                char expected[8];
                std::snprintf(expected, sizeof expected, "v%03d", before);
                // A read that began after write n returned has write n or a later one.
                if (got == "(none)")
                    ++missing;
                else if (got < expected)
                    ++stale;
                if (before == 200)
                    return;
            }
        });
    for (int n = 1; n <= 200; ++n) {
        char bytes[8];
        std::snprintf(bytes, sizeof bytes, "v%03d", n);
        // Replaced whole, so a reader never meets a half-written file.
        write(f + ".new", bytes);
        if (watchesFolders())
            age(f + ".new"); // only the watch can tell then
        // (Windows refuses the rename while a reader has the file open: try again.)
        std::error_code ec;
        for (int attempt = 0; attempt < 10000; ++attempt) {
            fs::rename(f + ".new", f, ec);
            if (!ec)
                break;
            std::this_thread::yield();
        }
        EXPECT_FALSE(ec) << ec.message();
        written.store(n);
    }
    for (auto& r : readers)
        r.join();
    EXPECT_EQ(stale.load(), 0);
#ifndef _WIN32
    // Replaced whole, the file is never missing. (Windows may refuse to open a file while it is
    // being replaced; such a read has no bytes, old or new.)
    EXPECT_EQ(missing.load(), 0);
#endif
}
