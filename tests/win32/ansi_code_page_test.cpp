// Files kept in the ANSI code page (code page 936 here, which Wine takes from the zh_CN locale the
// test runs under): profile files without a byte order mark are read and written in it, profile
// files with a UTF-16LE mark stay UTF-16LE, the script prefix file is read in it, and the module
// update request body is sent in it.
#include "Win32TestFolder.h"

#include "bridge/ScriptReply.h"
#include "common/Profile.h"
#include "update/UpdateSteps.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

using kx::test::Win32TestFolder;

// "打印" "中文值" "新值" "名称" "键" "客户端" in code page 936.
const std::string kPrintGbk = "\xB4\xF2\xD3\xA1";
const std::string kChineseValueGbk = "\xD6\xD0\xCE\xC4\xD6\xB5";
const std::string kNewValueGbk = "\xD0\xC2\xD6\xB5";
const std::string kNameGbk = "\xC3\xFB\xB3\xC6";
const std::string kKeyGbk = "\xBC\xFC";
const std::string kClientGbk = "\xBF\xCD\xBB\xA7\xB6\xCB";

class AnsiCodePage : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(GetACP(), 936u) << "run under the zh_CN.UTF-8 locale (LC_ALL=zh_CN.UTF-8), which gives "
                                     "Wine the ANSI code page 936";
    }

    void writeBytes(const std::wstring& relative, const std::string& bytes)
    {
        const std::filesystem::path path = folder.path() / relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream out(path, std::ios::binary);
        out << bytes;
        ASSERT_TRUE(out.good());
    }
    std::string readBytes(const std::wstring& relative)
    {
        std::ifstream in(folder.path() / relative, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    Win32TestFolder folder;
};

TEST_F(AnsiCodePage, ProfileFileWithoutMarkIsReadAndWrittenInTheCodePage)
{
    const std::string before = "[DLL]\r\n" + kPrintGbk + "=v1.0\r\n; " + kClientGbk + "\r\n[" + kNameGbk + "]\r\n" +
                               kKeyGbk + "=\"" + kChineseValueGbk + "\"\r\nother=x\r\n";
    writeBytes(L"sys.ini", before);
    const std::string file = folder.utf8(L"sys.ini");

    EXPECT_EQ(kx::readProfileString(file, "dll", "打印", "-"), "v1.0");
    EXPECT_EQ(kx::readProfileString(file, "名称", "键", "-"), "中文值");
    EXPECT_EQ(kx::listProfileKeys(file, "DLL"), std::vector<std::string>{"打印"});
    EXPECT_EQ(kx::listProfileKeys(file, "名称"), (std::vector<std::string>{"键", "other"}));

    // A replaced value, an added key and an added section go in as code page bytes; every other
    // line stays byte for byte.
    kx::writeProfileString(file, "名称", "键", "新值");
    kx::writeProfileString(file, "DLL", "客户端", "v2.0");
    kx::writeProfileString(file, "新值", "打印", "中文值");
    const std::string after = "[DLL]\r\n" + kPrintGbk + "=v1.0\r\n; " + kClientGbk + "\r\n" + kClientGbk +
                              "=v2.0\r\n[" + kNameGbk + "]\r\n" + kKeyGbk + "=" + kNewValueGbk + "\r\nother=x\r\n[" +
                              kNewValueGbk + "]\r\n" + kPrintGbk + "=" + kChineseValueGbk + "\r\n";
    EXPECT_EQ(readBytes(L"sys.ini"), after);
    EXPECT_EQ(kx::readProfileString(file, "名称", "键", "-"), "新值");
    EXPECT_EQ(kx::readProfileString(file, "新值", "打印", "-"), "中文值");

    // A new file is written in the code page too.
    kx::writeProfileString(folder.utf8(L"new.ini"), "名称", "键", "客户端");
    EXPECT_EQ(readBytes(L"new.ini"), "[" + kNameGbk + "]\r\n" + kKeyGbk + "=" + kClientGbk + "\r\n");
}

TEST_F(AnsiCodePage, CharacterOutsideTheCodePageIsWrittenAsTheDefaultCharacter)
{
    const std::string file = folder.utf8(L"dll.ini");
    kx::writeProfileString(file, "A", "k", "x\xF0\x9F\x98\x80y客户端");
    // One default character per UTF-16 unit of U+1F600.
    EXPECT_EQ(readBytes(L"dll.ini"), "[A]\r\nk=x??y" + kClientGbk + "\r\n");
    EXPECT_EQ(kx::readProfileString(file, "A", "k", "-"), "x??y客户端");
}

TEST_F(AnsiCodePage, ProfileFileWithUtf16LeMarkStaysUtf16Le)
{
    auto utf16le = [](const std::wstring& text) {
        std::string bytes;
        for (wchar_t c : text) {
            bytes += static_cast<char>(c & 0xFF);
            bytes += static_cast<char>(c >> 8);
        }
        return bytes;
    };
    writeBytes(L"u.ini", "\xFF\xFE" + utf16le(L"[名称]\r\n键=中文值\r\n"));
    const std::string file = folder.utf8(L"u.ini");

    EXPECT_EQ(kx::readProfileString(file, "名称", "键", "-"), "中文值");
    // Characters outside code page 936 keep their UTF-16 form.
    kx::writeProfileString(file, "名称", "键", "新值\xF0\x9F\x98\x80");
    kx::writeProfileString(file, "名称", "客户端", "é");
    EXPECT_EQ(readBytes(L"u.ini"),
              "\xFF\xFE" + utf16le(L"[名称]\r\n键=新值\U0001F600\r\n客户端=\u00E9\r\n"));
    EXPECT_EQ(kx::readProfileString(file, "名称", "键", "-"), "新值\xF0\x9F\x98\x80");
}

TEST_F(AnsiCodePage, ScriptPrefixIsReadInTheCodePage)
{
    writeBytes(L"data\\text\\json2.txt", "var a=\"" + kClientGbk + "\";\r\nvar b=\"" + kNameGbk + "\";\nvar c=1;\r\n");
    EXPECT_EQ(kx::readScriptPrefix(folder.utf8(L"data\\text\\json2.txt")),
              "var a=\"客户端\";var b=\"名称\";var c=1;");
    EXPECT_EQ(kx::readProgramScriptPrefix(folder.utf8()), "var a=\"客户端\";var b=\"名称\";var c=1;");
}

TEST_F(AnsiCodePage, ModuleUpdateRequestBodyIsSentInTheCodePage)
{
    writeBytes(L"conf\\sys.ini", "[DLL]\r\nprint=v1.0\r\n" + kPrintGbk + "=v2.3\r\nempty=\r\n");
    EXPECT_EQ(kx::moduleRequestBody(folder.utf8()), "{\"print\":\"v1.0\",\"" + kPrintGbk + "\":\"v2.3\"}");
}

} // namespace
