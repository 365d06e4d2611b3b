// The start-with-system flag and its store file.
#include "common/AutoRun.h"

#include "common/Errors.h"
#include "platform/AutoRunStore.h"

#include "../common/TempPath.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;
using namespace kx;

namespace {

class AutoRunTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = kx::test::makeTempFolder("kx-autorun-");
        store_ = dir_ / "sub" / "KestrixAssistant.reg";
        platform::setAutoRunStorePath(store_.string());
    }
    void TearDown() override
    {
        platform::setAutoRunStorePath("");
        fs::remove_all(dir_);
    }
    void writeStore(const std::string& text)
    {
        fs::create_directories(store_.parent_path());
        std::ofstream(store_) << text;
    }
    std::string readStore()
    {
        std::ifstream in(store_);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    static std::string readError()
    {
        try {
            readAutoRun();
        } catch (const KxError& e) {
            return e.what();
        }
        return "(no error)";
    }

    fs::path dir_;
    fs::path store_;
};

} // namespace

TEST_F(AutoRunTest, WriteThenReadRoundTripsAndKeepsOtherValues)
{
    writeStore("Windows Registry Editor Version 5.00\n\n[HKEY_CLASSES_ROOT\\KestrixAssistant]\n"
               "\"Other\"=\"text\"\n\n[HKEY_CLASSES_ROOT\\Else]\n\"AutoRun\"=dword:00000005\n");
    ASSERT_TRUE(writeAutoRun(1));
    EXPECT_EQ(readAutoRun(), 1);
    ASSERT_TRUE(writeAutoRun(0));
    EXPECT_EQ(readAutoRun(), 0);
    const std::string text = readStore();
    EXPECT_NE(text.find("\"Other\"=\"text\""), std::string::npos);
    EXPECT_NE(text.find("\"AutoRun\"=dword:00000005"), std::string::npos); // other key untouched
    EXPECT_NE(text.find("\"AutoRun\"=dword:00000000"), std::string::npos);
}

TEST_F(AutoRunTest, WriteCreatesTheStoreAndItsFolder)
{
    ASSERT_TRUE(writeAutoRun(1));
    EXPECT_EQ(readStore(), "Windows Registry Editor Version 5.00\n\n[HKEY_CLASSES_ROOT\\KestrixAssistant]\n"
                           "\"AutoRun\"=dword:00000001\n");
    EXPECT_EQ(readAutoRun(), 1);
}

TEST_F(AutoRunTest, ReadErrorsNameTheValue)
{
    EXPECT_EQ(readError(), "Failed to get data for 'AutoRun'"); // no store at all
    writeStore("[HKEY_CLASSES_ROOT\\KestrixAssistant]\n\"Other\"=dword:00000001\n");
    EXPECT_EQ(readError(), "Failed to get data for 'AutoRun'");
    writeStore("[HKEY_CLASSES_ROOT\\KestrixAssistant]\n\"AutoRun\"=\"1\"\n");
    EXPECT_EQ(readError(), "Invalid data type for 'AutoRun'");
    writeStore("[HKEY_CLASSES_ROOT\\KestrixAssistant]\n\"AutoRun\"=hex:01,00,00,00\n");
    EXPECT_EQ(readError(), "Invalid data type for 'AutoRun'");
}

TEST_F(AutoRunTest, WriteFailureIsReportedNotRaised)
{
    writeStore("x");
    platform::setAutoRunStorePath((store_ / "below-a-file.reg").string()); // parent is a file
    EXPECT_FALSE(writeAutoRun(1));
}

// The store is read by the same INI line reader as the profile files: CR LF line ends, comment
// lines, blanks around "=" and inside the brackets, names compared without case.
TEST_F(AutoRunTest, StoreLinesFollowTheProfileLineRules)
{
    writeStore("Windows Registry Editor Version 5.00\r\n\r\n; written by hand\r\n"
               "[ hkey_classes_root\\KestrixAssistant ]\r\n\"Say \\\"hi\\\"\" = \"x\"\r\n"
               "\"autorun\" = dword:00000001\r\n[Other]\r\n\"AutoRun\"=dword:00000007\r\n");
    EXPECT_EQ(readAutoRun(), 1);
    ASSERT_TRUE(writeAutoRun(0));
    EXPECT_EQ(readAutoRun(), 0);
    const std::string text = readStore();
    EXPECT_NE(text.find("\"Say \\\"hi\\\"\" = \"x\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"AutoRun\"=dword:00000000"), std::string::npos) << text;
    EXPECT_EQ(text.find("\"autorun\" = dword:00000001"), std::string::npos) << text; // replaced in place
    EXPECT_NE(text.find("\"AutoRun\"=dword:00000007"), std::string::npos) << text;  // other key untouched
}
