// Paths under a program folder with Chinese characters and blanks, as the core builds them on
// Windows: joined with "\", module folders found from "MODULE-DLLPATH" values, and a pending
// module update completed in such a folder.
#include "common/Paths.h"
#include "common/PendingUpdate.h"

#include "Win32TestFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace kx;
namespace fs = std::filesystem;

TEST(ProgramPaths, JoinWithTheSystemsSeparator)
{
    const std::string folder = "Z:\\tmp\\程序文件\\Kestrix 客户端助手";
    const struct {
        std::string folder, relative, expected;
    } cases[] = {
        {folder, "conf\\sys.ini", folder + "\\conf\\sys.ini"},
        {folder, "/conf/sys.ini", folder + "\\conf\\sys.ini"},
        {folder + "\\", "\\comp\\print\\print.dll", folder + "\\comp\\print\\print.dll"},
        {folder, "", folder + "\\"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(programPath(c.folder, c.relative), c.expected) << c.folder << " + " << c.relative;

    EXPECT_EQ(moduleFolder(folder, "comp\\print\\print.dll"), folder + "\\comp\\print\\");
    EXPECT_EQ(moduleFolder(folder, "comp/打印 模块/print.dll"), folder + "\\comp\\打印 模块\\");
    EXPECT_EQ(moduleFolder(folder, "print.dll"), folder + "\\");
}

TEST(ProgramPaths, PendingModuleUpdateIsCompletedInAFolderWithChineseCharacters)
{
    test::Win32TestFolder program;
    const fs::path module = program.path() / L"comp" / L"打印 print";
    fs::create_directories(module);
    fs::create_directories(program.path() / L"conf");
    fs::create_directories(program.path() / L"upgrade");
    // In UTF-16LE with its byte order mark, which holds the Chinese module path whatever the ANSI
    // code page is (files without a mark are read in that code page).
    {
        std::ofstream ini(program.path() / L"conf" / L"dll.ini", std::ios::binary);
        ini << "\xFF\xFE";
        for (wchar_t c : std::wstring(L"[MODULE-DLLPATH]\r\nprint=comp\\打印 print\\print.dll\r\n"))
            ini << static_cast<char>(c & 0xFF) << static_cast<char>(c >> 8);
    }
    std::ofstream(program.path() / L"upgrade" / L"upgrade.dat") << "{\"print\":\"1.1\"}";
    std::ofstream(module / L"print.dll") << "new";
    std::ofstream(module / L"print_old.dll") << "old";

    applyPendingModuleUpdate(program.utf8());

    EXPECT_TRUE(fs::exists(module / L"print.dll"));
    EXPECT_FALSE(fs::exists(module / L"print_old.dll"));
    EXPECT_FALSE(fs::exists(program.path() / L"upgrade"));
    std::ifstream in(program.path() / L"conf" / L"sys.ini", std::ios::binary);
    const std::string sysIni((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(sysIni.find("print=v1.1"), std::string::npos) << sysIni;
}
