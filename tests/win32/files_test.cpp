// File operations on Windows with paths that hold Chinese characters and blanks: durable
// replacement, the writable check, renaming without replacing, file views, UTF-8 paths.
#include "platform/Files.h"
#include "platform/PathText.h"

#include "Win32TestFolder.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>

using namespace kx;
namespace fs = std::filesystem;

namespace {

class FilesTest : public ::testing::Test {
protected:
    std::string at(const std::wstring& name) const { return folder_.utf8(name); }
    fs::path wide(const std::wstring& name) const { return folder_.path() / name; }

    void write(const std::wstring& name, const std::string& bytes) const
    {
        std::ofstream(wide(name), std::ios::binary) << bytes;
    }
    std::string read(const std::wstring& name) const
    {
        std::ifstream in(wide(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    // Every entry of the folder, so a left-over temporary file shows.
    std::size_t entries() const
    {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder_.path()), fs::directory_iterator()));
    }

    test::Win32TestFolder folder_;
};

} // namespace

TEST_F(FilesTest, PathsRoundTripThroughUtf8)
{
    const std::string text = at(L"配置 conf\\sys.ini");
    const fs::path p = platform::pathFromUtf8(text);
    EXPECT_EQ(p, wide(L"配置 conf\\sys.ini"));
    EXPECT_EQ(platform::utf8FromPath(p), text);
    EXPECT_EQ(platform::toNativeSeparators("comp/print\\打印 x/print.dll"), "comp\\print\\打印 x\\print.dll");
    fs::create_directories(platform::pathFromUtf8(at(L"配置 conf")));
    EXPECT_TRUE(fs::is_directory(wide(L"配置 conf")));
}

TEST_F(FilesTest, ReplaceCreatesAndReplacesWithoutLeavingTemporaryFiles)
{
    const std::string target = at(L"打印 print.json");
    ASSERT_TRUE(platform::replaceFileAtomically(target, "first"));
    EXPECT_EQ(read(L"打印 print.json"), "first");
    ASSERT_TRUE(platform::replaceFileAtomically(target, std::string(3 << 20, 'x'))); // larger than one write
    EXPECT_EQ(read(L"打印 print.json").size(), 3u << 20);
    ASSERT_TRUE(platform::replaceFileAtomically(target, ""));
    EXPECT_EQ(read(L"打印 print.json"), "");
    // "/" separators as programPath writes them.
    std::string slashed = target;
    for (char& c : slashed)
        if (c == '\\')
            c = '/';
    ASSERT_TRUE(platform::replaceFileAtomically(slashed, "slashed"));
    EXPECT_EQ(read(L"打印 print.json"), "slashed");
    EXPECT_EQ(entries(), 1u);
}

TEST_F(FilesTest, ReplaceKeepsTheAttributesOfTheFileItReplaces)
{
    write(L"隐藏.ini", "old");
    ASSERT_TRUE(SetFileAttributesW(wide(L"隐藏.ini").c_str(), FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(platform::replaceFileAtomically(at(L"隐藏.ini"), "new"));
    EXPECT_EQ(read(L"隐藏.ini"), "new");
    EXPECT_TRUE(GetFileAttributesW(wide(L"隐藏.ini").c_str()) & FILE_ATTRIBUTE_HIDDEN);
}

TEST_F(FilesTest, ReplaceFailsAndTouchesNothing)
{
    fs::create_directories(wide(L"目录 dir"));
    write(L"只读.ini", "kept");
    ASSERT_TRUE(SetFileAttributesW(wide(L"只读.ini").c_str(), FILE_ATTRIBUTE_READONLY));
    const std::size_t before = entries();
    EXPECT_FALSE(platform::replaceFileAtomically(at(L"目录 dir"), "x"));            // a folder
    EXPECT_FALSE(platform::replaceFileAtomically(at(L"没有 missing\\a.ini"), "x")); // no such folder
    EXPECT_FALSE(platform::replaceFileAtomically(at(L"只读.ini"), "x"));            // read-only
    EXPECT_EQ(read(L"只读.ini"), "kept");
    EXPECT_TRUE(fs::is_directory(wide(L"目录 dir")));
    EXPECT_EQ(entries(), before);
}

TEST_F(FilesTest, WritableOnlyForExistingFilesNotMarkedReadOnly)
{
    write(L"可写 rw.ini", "x");
    write(L"只读 ro.ini", "x");
    SetFileAttributesW(wide(L"只读 ro.ini").c_str(), FILE_ATTRIBUTE_READONLY);
    fs::create_directories(wide(L"目录 dir"));
    // A file another handle holds without sharing writes is still one this process may write.
    write(L"占用 busy.ini", "x");
    HANDLE busy = CreateFileW(wide(L"占用 busy.ini").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(busy, INVALID_HANDLE_VALUE);
    const struct {
        std::wstring name;
        bool writable;
    } cases[] = {
        {L"可写 rw.ini", true},
        {L"只读 ro.ini", false},
        {L"目录 dir", false},
        {L"没有 missing.ini", false},
        {L"占用 busy.ini", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(platform::fileWritable(at(c.name)), c.writable) << at(c.name);
    CloseHandle(busy);
}

TEST_F(FilesTest, RenameNeverReplaces)
{
    write(L"print_old.dll", "old");
    write(L"print.dll", "new");
    fs::create_directories(wide(L"目录 a"));
    EXPECT_FALSE(platform::renameNoReplace(at(L"print_old.dll"), at(L"print.dll")));
    EXPECT_FALSE(platform::renameNoReplace(at(L"print_old.dll"), at(L"目录 a")));
    EXPECT_FALSE(platform::renameNoReplace(at(L"没有.dll"), at(L"x.dll")));
    EXPECT_EQ(read(L"print_old.dll"), "old");
    EXPECT_EQ(read(L"print.dll"), "new");

    EXPECT_TRUE(platform::renameNoReplace(at(L"print_old.dll"), at(L"打印 备份.dll")));
    EXPECT_EQ(read(L"打印 备份.dll"), "old");
    EXPECT_FALSE(fs::exists(wide(L"print_old.dll")));
    EXPECT_TRUE(platform::renameNoReplace(at(L"目录 a"), at(L"目录 b"))); // folders too
    EXPECT_TRUE(fs::is_directory(wide(L"目录 b")));
}

TEST_F(FilesTest, ViewShowsTheBytesOfRegularFilesOnly)
{
    const std::string bytes = std::string("PK\x03\x04", 4) + std::string(100000, '\0') + "end";
    write(L"包 dll_upgrade.zip", bytes);
    write(L"空 empty.txt", "");
    fs::create_directories(wide(L"目录 dir"));

    platform::FileView view;
    ASSERT_TRUE(view.open(at(L"包 dll_upgrade.zip")));
    EXPECT_EQ(view.bytes(), bytes);
    platform::FileView moved = std::move(view);
    EXPECT_TRUE(view.bytes().empty());
    EXPECT_EQ(moved.bytes(), bytes);

    platform::FileView empty;
    EXPECT_TRUE(empty.open(at(L"空 empty.txt")));
    EXPECT_TRUE(empty.bytes().empty());
    platform::FileView none;
    EXPECT_FALSE(none.open(at(L"目录 dir")));
    EXPECT_FALSE(none.open(at(L"没有 missing.zip")));
    EXPECT_TRUE(none.bytes().empty());
}
