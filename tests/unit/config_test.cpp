// Configuration access under the program folder (conf/sys.ini, conf/dll.ini) and the JSON file
// reader.
#include "common/Config.h"
#include "common/Errors.h"
#include "common/TextCodec.h"

#include "../common/TempPath.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;
using namespace kx;

namespace {

struct ProgramFolder {
    fs::path path;
    ProgramFolder()
    {
        path = kx::test::makeTempFolder("kx-config-");
    }
    ~ProgramFolder() { fs::remove_all(path); }
    std::string folder() const { return path.string(); }
    void write(const std::string& rel, const std::string& bytes) const
    {
        fs::create_directories((path / rel).parent_path());
        std::ofstream(path / rel, std::ios::binary) << bytes;
    }
    std::string read(const std::string& rel) const
    {
        std::ifstream in(path / rel, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
};

TEST(ConfigIni, NoFilesGiveTheDefaultsAndCreateNothing)
{
    ProgramFolder p;
    EXPECT_EQ(readSysIni("HTTP", "server.ip", "127.0.0.1", p.folder()), "127.0.0.1");
    EXPECT_EQ(readSysIni("HTTP", "server.port", "13526", p.folder()), "13526");
    EXPECT_EQ(readSysIni("APP", "application.upgrade.timer.interval", "8", p.folder()), "8");
    EXPECT_EQ(readSysIni("APP", "application.current.version", "", p.folder()), "");
    EXPECT_EQ(readDllIni("MODULE-LANG", "print", "delphi", p.folder()), "delphi");
    EXPECT_TRUE(listSysIniKeys("DLL", p.folder()).empty());
    EXPECT_TRUE(fs::is_empty(p.path));
}

TEST(ConfigIni, ReadsEachFileFromItsPlace)
{
    ProgramFolder p;
    p.write("conf/sys.ini",
            "[HTTP]\r\nSERVER.PORT=14000\r\n[APP]\r\napplication.upgrade.timer.interval=\r\n"
            "[DLL]\r\nprint=v1.0\r\nCA=v2\r\npos=\r\n");
    p.write("conf/dll.ini",
            "[MODULE-DLLPATH]\r\nprint=comp\\print\\libprint.so\r\n[MODULE-LANG]\r\nPRINT=c\r\n");

    EXPECT_EQ(readSysIni("HTTP", "server.port", "13526", p.folder()), "14000");
    EXPECT_EQ(readSysIni("APP", "application.upgrade.timer.interval", "8", p.folder()), "");
    EXPECT_EQ(listSysIniKeys("dll", p.folder()), (std::vector<std::string>{"print", "CA", "pos"}));
    EXPECT_EQ(readDllIni("MODULE-DLLPATH", "print", "", p.folder()), "comp\\print\\libprint.so");
    EXPECT_EQ(readDllIni("MODULE-LANG", "print", "delphi", p.folder()), "c");
    EXPECT_EQ(readDllIni("MODULE-LANG", "upload", "delphi", p.folder()), "delphi");
    // The two files are distinct.
    EXPECT_EQ(readDllIni("HTTP", "server.port", "none", p.folder()), "none");
    EXPECT_EQ(readSysIni("MODULE-LANG", "print", "none", p.folder()), "none");
}

TEST(ConfigIni, WriteCreatesSysIniInAnExistingConfFolder)
{
    ProgramFolder p;
    fs::create_directory(p.path / "conf");
    writeSysIni("DLL", "print", "v1.1", p.folder());
    writeSysIni("HTTP", "server.update.url", "http://h:8080/upgrade/app", p.folder());
    EXPECT_EQ(p.read("conf/sys.ini"),
              "[DLL]\r\nprint=v1.1\r\n[HTTP]\r\nserver.update.url=http://h:8080/upgrade/app\r\n");
    EXPECT_FALSE(fs::exists(p.path / "conf/dll.ini"));
}

TEST(ConfigIni, WriteWithoutConfFolderNamesTheFile)
{
    ProgramFolder p;
    try {
        writeSysIni("DLL", "print", "v1", p.folder());
        ADD_FAILURE() << "no error raised";
    } catch (const KxError& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to write to " + p.folder() + "/conf/sys.ini");
    }
    EXPECT_TRUE(fs::is_empty(p.path));
}

std::string utf16Bytes(const std::string& utf8, bool bigEndian)
{
    std::string le = utf16ToLeBytes(utf8ToUtf16(utf8));
    if (bigEndian)
        for (std::size_t i = 0; i + 1 < le.size(); i += 2)
            std::swap(le[i], le[i + 1]);
    return (bigEndian ? "\xFE\xFF" : "\xFF\xFE") + le;
}

TEST(ConfigJson, DocumentsByEncodingAndShape)
{
    const std::string doc = R"({"z":1,"a":{"名":"值"},"m":[true,null]})";
    const struct Case {
        const char* name;
        std::string bytes;
        const char* compact;    // expected document, member order kept; null when none
        const char* errorClass; // expected error; null when none
    } cases[] = {
        {"plain UTF-8", doc, doc.c_str(), nullptr},
        {"UTF-8 mark", "\xEF\xBB\xBF" + doc, doc.c_str(), nullptr},
        {"UTF-16LE mark", utf16Bytes(doc, false), doc.c_str(), nullptr},
        {"UTF-16BE mark", utf16Bytes(doc, true), doc.c_str(), nullptr},
        {"blanks around", " \r\n{}\r\n", "{}", nullptr},
        {"empty file", "", nullptr, nullptr},
        {"only a mark", "\xEF\xBB\xBF", nullptr, nullptr},
        {"UTF-32LE mark", std::string("\xFF\xFE\0\0{\0\0\0}\0\0\0", 12), nullptr, kJsonParseErrorClass},
        {"UTF-32BE mark", std::string("\0\0\xFE\xFF\0\0\0{\0\0\0}", 12), nullptr, kJsonParseErrorClass},
        {"array at top level", "[1,2]", nullptr, kJsonTypeErrorClass},
        {"text at top level", "\"x\"", nullptr, kJsonTypeErrorClass},
        {"number at top level", "5", nullptr, kJsonTypeErrorClass},
        {"cut short", R"({"a":)", nullptr, kJsonParseErrorClass},
        {"trailing text", "{} x", nullptr, kJsonParseErrorClass},
        {"comma at end", R"({"a":1,})", nullptr, kJsonParseErrorClass},
        {"single quotes", "{'a':1}", nullptr, kJsonParseErrorClass},
        {"invalid UTF-8", "{\"a\":\"\xC3\x28\"}", nullptr, kJsonParseErrorClass},
        {"blanks only", "  \r\n", nullptr, kJsonParseErrorClass},
    };
    ProgramFolder p;
    const std::string file = p.folder() + "/doc.json";
    for (const Case& c : cases) {
        p.write("doc.json", c.bytes);
        try {
            const std::optional<Json> got = loadJsonFile(file);
            EXPECT_EQ(c.errorClass, nullptr) << c.name << ": no error raised";
            if (c.compact)
                EXPECT_EQ(got.has_value() ? got->dump() : "none", c.compact) << c.name;
            else
                EXPECT_FALSE(got.has_value()) << c.name;
        } catch (const KxError& e) {
            EXPECT_STREQ(e.errorClass().c_str(), c.errorClass ? c.errorClass : "none") << c.name << ": " << e.what();
        }
        EXPECT_EQ(p.read("doc.json"), c.bytes) << c.name << ": file changed";
    }
}

TEST(ConfigJson, MissingFileIsCreatedEmptyAndGivesNoneTwice)
{
    ProgramFolder p;
    const std::string file = p.folder() + "/bill.json";
    EXPECT_FALSE(loadJsonFile(file).has_value());
    ASSERT_TRUE(fs::is_regular_file(file));
    EXPECT_EQ(fs::file_size(file), 0u);
    EXPECT_FALSE(loadJsonFile(file).has_value());
    EXPECT_EQ(fs::file_size(file), 0u);
}

TEST(ConfigJson, UnopenablePathsRaiseFileOpenErrors)
{
    ProgramFolder p;
    fs::create_directory(p.path / "dir.json");
    for (const std::string& file : {p.folder() + "/missing/print.json", p.folder() + "/dir.json"}) {
        try {
            loadJsonFile(file);
            ADD_FAILURE() << file << ": no error raised";
        } catch (const KxError& e) {
            EXPECT_EQ(e.errorClass(), kFileOpenErrorClass) << file;
            EXPECT_NE(std::string(e.what()).find(file), std::string::npos) << e.what();
        }
    }
    EXPECT_FALSE(fs::exists(p.path / "missing"));
}

} // namespace
