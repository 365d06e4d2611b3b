// The folder watch behind the kept files: every kind of change to a file in a watched folder is
// heard once, reading files is not a change, and a folder that goes away or is renamed stops being
// heard until it is watched again under its name.
#include "platform/FolderWatch.h"
#include "../common/TempPath.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

using namespace kx;
namespace fs = std::filesystem;

namespace {

void write(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

class FolderWatchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder_ = test::makeTempFolder("kx-folder-watch-");
        ASSERT_TRUE(watch_.available());
        ASSERT_TRUE(watch_.watch(folder_));
    }
    void TearDown() override { fs::remove_all(folder_); }
    std::string file(const std::string& name) const { return folder_ + "/" + name; }

    // True when the change was heard, and heard once: the next look finds nothing.
    bool heardOnce(const std::function<void()>& change)
    {
        change();
        const bool waiting = watch_.noticesWaiting();
        const bool heard = watch_.changedSinceLastLook();
        return waiting && heard && !watch_.noticesWaiting() && !watch_.changedSinceLastLook();
    }

    std::string folder_;
    platform::FolderWatch watch_;
};

} // namespace

TEST_F(FolderWatchTest, EveryKindOfChangeIsHeard)
{
    write(file("kept.ini"), "one");
    EXPECT_TRUE(watch_.changedSinceLastLook());
    EXPECT_FALSE(watch_.changedSinceLastLook());

    const struct {
        const char* what;
        std::function<void()> change;
    } changes[] = {
        {"written in place", [&] { std::ofstream(file("kept.ini"), std::ios::binary | std::ios::app) << "x"; }},
        {"truncated", [&] { fs::resize_file(file("kept.ini"), 0); }},
        {"stamp changed", [&] { fs::last_write_time(file("kept.ini"), fs::file_time_type::clock::now()); }},
        {"permissions changed", [&] { fs::permissions(file("kept.ini"), fs::perms::owner_read); }},
        {"created", [&] { write(file("other.ini"), "new"); }},
        {"renamed over", [&] { fs::rename(file("other.ini"), file("kept.ini")); }},
        {"removed", [&] { fs::remove(file("kept.ini")); }},
        {"folder created inside", [&] { fs::create_directory(file("sub")); }},
    };
    for (const auto& c : changes)
        EXPECT_TRUE(heardOnce(c.change)) << c.what;

    // Reading is no change; nor is anything in a folder below the watched one.
    write(file("read.ini"), "r");
    watch_.changedSinceLastLook();
    std::string content;
    std::ifstream(file("read.ini")) >> content;
    write(file("sub/deeper.ini"), "d");
    EXPECT_FALSE(watch_.noticesWaiting());
    EXPECT_FALSE(watch_.changedSinceLastLook());
}

TEST_F(FolderWatchTest, AFolderThatGoesIsHeardAgainOnlyOnceWatchedAgain)
{
    const std::string conf = file("conf");
    for (const bool renamed : {false, true}) {
        fs::create_directory(conf);
        ASSERT_TRUE(watch_.watch(conf));
        watch_.changedSinceLastLook();
        if (renamed)
            fs::rename(conf, file("conf.old"));
        else
            fs::remove_all(conf);
        EXPECT_TRUE(watch_.changedSinceLastLook()) << renamed;

        // A new folder under the old name: not heard until watched again.
        fs::create_directory(conf);
        write(conf + "/dll.ini", "new");
        watch_.changedSinceLastLook(); // the creation, in the watched parent
        write(conf + "/dll.ini", "newer");
        EXPECT_FALSE(watch_.changedSinceLastLook()) << renamed;
        ASSERT_TRUE(watch_.watch(conf));
        EXPECT_TRUE(heardOnce([&] { write(conf + "/dll.ini", "newest"); })) << renamed;
        if (renamed) { // the old folder, under its new name, is no longer heard
            EXPECT_FALSE(heardOnce([&] { write(file("conf.old/dll.ini"), "old"); }));
        }
        fs::remove_all(conf);
        fs::remove_all(file("conf.old"));
        watch_.changedSinceLastLook();
    }
}

TEST_F(FolderWatchTest, WhatCannotBeWatched)
{
    EXPECT_FALSE(watch_.watch(file("missing")));
    write(file("plain.txt"), "not a folder");
    EXPECT_FALSE(watch_.watch(file("plain.txt")));
    EXPECT_TRUE(watch_.watch(folder_)); // again: nothing to do
}
