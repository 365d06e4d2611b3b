// ZIP handling of the module update: entry names are checked component by component, and an
// archive is only ever unpacked below its destination.
#include "update/ZipPackage.h"

#include "../common/ZipBuilder.h"

#include "../common/TempPath.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;
using namespace kx;
using kx::test::writeZip;

namespace {

struct TempDir {
    fs::path path;
    TempDir()
    {
        path = kx::test::makeTempFolder("kx-ziptest-");
    }
    ~TempDir() { fs::remove_all(path); }
};

UnpackResult unpack(const std::string& zip, const std::string& dest)
{
    UnpackBudget budget;
    return unpackPackage(zip, dest, budget);
}

std::string slurp(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

} // namespace

TEST(SafeEntryPath, AcceptsRelativeNamesAndRefusesEscapes)
{
    const struct {
        const char* name;
        const char* expected; // nullptr = refused
    } cases[] = {
        {"print.dll", "print.dll"},
        {"sub/print.dll", "sub/print.dll"},
        {"sub\\print.dll", "sub/print.dll"},
        {"./a//b/./c.txt", "a/b/c.txt"},
        {"dir/", "dir"},
        {"a..b/c..", "a..b/c.."}, // ".." inside a name is an ordinary name
        {"../evil.dll", nullptr},
        {"sub/../../evil.dll", nullptr},
        {"sub/..", nullptr},
        {"..\\evil.dll", nullptr},
        {"/etc/passwd", nullptr},
        {"\\abs.txt", nullptr},
        {"C:/Windows/x.dll", nullptr},
        {"c:evil", nullptr},
        {"sub/Z:evil", nullptr},
        {"print.dll:hidden", nullptr},
        {"", nullptr},
        {"./", nullptr},
    };
    for (const auto& c : cases) {
        const auto p = safeEntryPath(c.name);
        if (c.expected) {
            ASSERT_TRUE(p.has_value()) << c.name;
            EXPECT_EQ(p->generic_string(), c.expected) << c.name;
        } else {
            EXPECT_FALSE(p.has_value()) << c.name;
        }
    }
}

TEST(IsInsideFolder, ComparesWholeComponents)
{
    EXPECT_TRUE(isInsideFolder("/tmp/up", "/tmp/up/a/b"));
    EXPECT_TRUE(isInsideFolder("/tmp/up/", "/tmp/up/a"));
    EXPECT_TRUE(isInsideFolder("/tmp/up", "/tmp/up"));
    EXPECT_FALSE(isInsideFolder("/tmp/up", "/tmp/upgrade/a")); // a string prefix is not enough
    EXPECT_FALSE(isInsideFolder("/tmp/up", "/tmp"));
    EXPECT_FALSE(isInsideFolder("/tmp/up", "/etc/up"));
}

TEST(UnpackPackage, ExtractsEveryEntryWithFoldersAndOverwrites)
{
    TempDir t;
    const fs::path dest = t.path / "upgrade";
    fs::create_directories(dest);
    std::ofstream(dest / "print.zip") << "stale";
    const std::string binary("\x00\x01\xff\x50\x4b", 5);
    writeZip((t.path / "pkg.zip").string(),
             {{"print.zip", binary}, {"docs/", ""}, {"docs/readme.txt", "hello"}});

    ASSERT_TRUE(unpack((t.path / "pkg.zip").string(), dest.string()).ok);
    EXPECT_EQ(slurp(dest / "print.zip"), binary);
    EXPECT_EQ(slurp(dest / "docs/readme.txt"), "hello");
}

TEST(UnpackPackage, RefusesArchivesWithEscapingEntriesAndWritesNothing)
{
    const std::vector<std::vector<kx::test::ZipItem>> archives = {
        {{"ok.txt", "1"}, {"../outside.txt", "evil"}},
        {{"ok.txt", "1"}, {"/tmp/kx-absolute-entry.txt", "evil"}},
        {{"ok.txt", "1"}, {"a/../../outside.txt", "evil"}},
        {{"ok.txt", "1"}, {"link", "/etc", true}},
        {{"ok.txt", "1"}, {"sub/Z:kx-drive-relative.txt", "evil"}},
    };
    for (const auto& items : archives) {
        TempDir t;
        const fs::path dest = t.path / "upgrade";
        fs::create_directories(dest);
        writeZip((t.path / "pkg.zip").string(), items);
        const UnpackResult r = unpack((t.path / "pkg.zip").string(), dest.string());
        EXPECT_FALSE(r.ok) << items[1].name;
        EXPECT_TRUE(r.unsafe) << items[1].name;
        EXPECT_TRUE(fs::is_empty(dest)) << items[1].name;
        EXPECT_FALSE(fs::exists(t.path / "outside.txt"));
    }
    EXPECT_FALSE(fs::exists("/tmp/kx-absolute-entry.txt"));
    EXPECT_FALSE(fs::exists("kx-drive-relative.txt")); // in the current folder
}

TEST(UnpackPackage, DoesNotWriteThroughALinkedFolderOnDisk)
{
    TempDir t;
    const fs::path dest = t.path / "upgrade";
    const fs::path elsewhere = t.path / "elsewhere";
    fs::create_directories(dest);
    fs::create_directories(elsewhere);
    std::error_code ec;
    fs::create_directory_symlink(elsewhere, dest / "sub", ec);
    if (ec)
        GTEST_SKIP() << "no symbolic link to a folder can be made here: " << ec.message();
    writeZip((t.path / "pkg.zip").string(), {{"sub/x.txt", "evil"}});

    EXPECT_FALSE(unpack((t.path / "pkg.zip").string(), dest.string()).ok);
    EXPECT_FALSE(fs::exists(elsewhere / "x.txt"));
}

TEST(UnpackPackage, ReplacesALinkInsteadOfWritingThroughIt)
{
    TempDir t;
    const fs::path dest = t.path / "upgrade";
    fs::create_directories(dest);
    std::ofstream(t.path / "victim.txt") << "keep";
    std::error_code ec;
    fs::create_symlink(t.path / "victim.txt", dest / "a.txt", ec);
    if (ec)
        GTEST_SKIP() << "no symbolic link to a file can be made here: " << ec.message();
    writeZip((t.path / "pkg.zip").string(), {{"a.txt", "new"}});

    ASSERT_TRUE(unpack((t.path / "pkg.zip").string(), dest.string()).ok);
    EXPECT_FALSE(fs::is_symlink(dest / "a.txt"));
    EXPECT_EQ(slurp(dest / "a.txt"), "new");
    EXPECT_EQ(slurp(t.path / "victim.txt"), "keep");
}

TEST(UnpackPackage, FailsOnMissingOrDamagedArchive)
{
    TempDir t;
    EXPECT_FALSE(unpack((t.path / "none.zip").string(), t.path.string()).ok);
    std::ofstream(t.path / "bad.zip") << "this is not a zip archive";
    const UnpackResult r = unpack((t.path / "bad.zip").string(), t.path.string());
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.unsafe);
    EXPECT_FALSE(r.why.empty());
}

TEST(UnpackPackage, ArchivesBeyondTheBudgetAreRefusedAsUnsafe)
{
    const std::string zeros(2 << 20, '\0'); // 2 MiB that compress to a few kB
    const struct {
        const char* what;
        std::string archive;
        UnpackBudget budget;
        bool writesNothing; // refused from the claims, before the first byte
    } cases[] = {
        {"more bytes than the budget", kx::test::zipBytes({{"a.bin", zeros}}), {1 << 20, 100}, true},
        {"bytes added up over entries", kx::test::zipBytes({{"a.bin", zeros}, {"b.bin", zeros}}), {3 << 20, 100}, true},
        {"more entries than the budget",
         kx::test::zipBytes({{"1", "x"}, {"2", "x"}, {"3", "x"}, {"4", "x"}}), {1 << 20, 3}, true},
        {"declared smaller than it unpacks", kx::test::withDeclaredSize(kx::test::zipBytes({{"a.bin", zeros}}), 1000),
         {UnpackBudget::kMaxBytes, 100}, false},
        {"claims more than 1 GiB", kx::test::withDeclaredSize(kx::test::zipBytes({{"a.bin", "tiny"}}), 0xC0000000u),
         UnpackBudget{}, true},
    };
    for (const auto& c : cases) {
        TempDir t;
        const fs::path dest = t.path / "upgrade";
        fs::create_directories(dest);
        {
            std::ofstream out(t.path / "pkg.zip", std::ios::binary);
            out << c.archive;
        }
        UnpackBudget budget = c.budget;
        const UnpackResult r = unpackPackage((t.path / "pkg.zip").string(), dest.string(), budget);
        EXPECT_FALSE(r.ok) << c.what;
        EXPECT_TRUE(r.unsafe) << c.what << ": " << r.why;
        EXPECT_FALSE(r.why.empty()) << c.what;
        // Nothing stays behind: a forged entry is removed once it outgrows its claim.
        EXPECT_TRUE(fs::is_empty(dest)) << c.what;
        if (c.writesNothing) {
            EXPECT_EQ(budget.bytes, c.budget.bytes) << c.what;
        }
    }
}

TEST(UnpackPackage, TheBudgetIsSharedByEveryArchiveOfAnUpdate)
{
    TempDir t;
    writeZip((t.path / "a.zip").string(), {{"a.bin", std::string(600, 'a')}, {"b.bin", std::string(300, 'b')}});
    UnpackBudget budget{1000, 10};
    ASSERT_TRUE(unpackPackage((t.path / "a.zip").string(), (t.path / "one").string(), budget).ok);
    EXPECT_EQ(budget.bytes, 100u);
    EXPECT_EQ(budget.entries, 8u);
    // The same archive again no longer fits.
    const UnpackResult again = unpackPackage((t.path / "a.zip").string(), (t.path / "two").string(), budget);
    EXPECT_TRUE(again.unsafe);
}
