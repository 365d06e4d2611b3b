// Loading module libraries on Windows: paths with Chinese characters and blanks, "/" and "\" as
// separators, the reference that findLoadedLibrary takes, and exports found by exactly their name.
#include "platform/DynamicLibrary.h"

#include "Win32TestFolder.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>

using namespace kx;
namespace fs = std::filesystem;

namespace {

using ProbeAdd = int(__stdcall*)(int, int);

class DynamicLibraryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const fs::path source = fs::path(KX_TEST_MODULES_DIR) / "platform_probe.dll";
        ASSERT_TRUE(fs::exists(source)) << source.string();
        fs::create_directories(folder_.path() / L"comp" / L"probe 模块");
        fs::copy_file(source, folder_.path() / L"comp" / L"probe 模块" / L"探针 probe.dll");
        path_ = folder_.utf8() + "\\comp\\probe 模块\\探针 probe.dll";
    }

    bool loadedByLoader() const
    {
        const std::wstring wide = (folder_.path() / L"comp" / L"probe 模块" / L"探针 probe.dll").native();
        return GetModuleHandleW(wide.c_str()) != nullptr;
    }

    test::Win32TestFolder folder_;
    std::string path_;
};

} // namespace

TEST_F(DynamicLibraryTest, LoadsByAPathWithChineseCharactersAndBlanksAndCallsStdcall)
{
    std::string error;
    platform::LibraryHandle h = platform::loadLibrary(path_, &error);
    ASSERT_NE(h, nullptr) << error;
    auto add = reinterpret_cast<ProbeAdd>(platform::libraryExport(h, "ProbeAdd"));
    ASSERT_NE(add, nullptr);
    EXPECT_EQ(add(40, 2), 42); // the callee removed its arguments: the stack is still balanced
    platform::releaseLibrary(h);
    EXPECT_FALSE(loadedByLoader());

    // "/" separators, as programPath builds them, name the same library.
    std::string slashed = path_;
    for (char& c : slashed)
        if (c == '\\')
            c = '/';
    h = platform::loadLibrary(slashed, &error);
    ASSERT_NE(h, nullptr) << error;
    platform::releaseLibrary(h);
}

TEST_F(DynamicLibraryTest, FailureNamesThePathAndTheSystemsReason)
{
    std::string error;
    const std::string missing = folder_.utf8() + "\\comp\\没有 missing.dll";
    EXPECT_EQ(platform::loadLibrary(missing, &error), nullptr);
    EXPECT_NE(error.find(missing), std::string::npos) << error;
    EXPECT_NE(error.find("(error 126)"), std::string::npos) << error; // ERROR_MOD_NOT_FOUND
    EXPECT_EQ(platform::loadLibrary(missing), nullptr);              // no error text asked for
}

TEST_F(DynamicLibraryTest, FindLoadedLibraryTakesAReferenceAndNeverLoads)
{
    EXPECT_EQ(platform::findLoadedLibrary(path_), nullptr); // not loaded yet, and still not after
    EXPECT_FALSE(loadedByLoader());
    EXPECT_EQ(platform::findLoadedLibrary(""), nullptr);

    platform::LibraryHandle loaded = platform::loadLibrary(path_);
    ASSERT_NE(loaded, nullptr);
    platform::LibraryHandle found = platform::findLoadedLibrary(path_);
    EXPECT_EQ(found, loaded);
    // The loading reference goes; the one findLoadedLibrary took keeps the library in the process.
    platform::releaseLibrary(loaded);
    EXPECT_TRUE(loadedByLoader());
    EXPECT_NE(platform::libraryExport(found, "ProbeAdd"), nullptr);
    platform::releaseLibrary(found);
    EXPECT_FALSE(loadedByLoader());
}

TEST_F(DynamicLibraryTest, ExportsAreFoundByExactlyTheNameGiven)
{
    platform::LibraryHandle h = platform::loadLibrary(path_);
    ASSERT_NE(h, nullptr);
    const struct {
        std::string name;
        bool found;
    } cases[] = {
        {"ProbeAdd", true},
        {"ProbeTicks", true},
        {"probeadd", false},       // case matters
        {"ProbeAdd@8", false},     // no decorated form is tried
        {"_ProbeAdd@8", false},
        {" ProbeAdd", false},
        {"", false},
        {"NoSuchFunction", false},
        {"GetTickCount", false},   // imported from kernel32, not exported
        {std::string("ProbeAdd\0x", 10), false},
        {"探针", false},
        {"Pr\xC5\x91" "beAdd", false}, // "ő" names no export, not even the look-alike "ProbeAdd"
        {"Pr\xC3\xB6" "beAdd", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(platform::libraryExport(h, c.name) != nullptr, c.found) << c.name;
    EXPECT_EQ(platform::libraryExport(nullptr, "ProbeAdd"), nullptr);
    EXPECT_NE(platform::librarySymbol(h, "ProbeTicks"), nullptr);
    platform::releaseLibrary(h);
}
