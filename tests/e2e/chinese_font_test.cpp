// Start-up on a machine without a font for Chinese: one line on standard error and in the run log
// names the package to install. With such a font there is no such line.
#include "Harness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

using namespace kx::test;
namespace fs = std::filesystem;

namespace {

const std::string kWarning = "No installed font covers Chinese";
const std::string kPackage = "fonts-wqy-microhei";
const std::string kChineseFontDir = "/usr/share/fonts/truetype/wqy";

std::size_t occurrences(const std::string& text, const std::string& part)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++n;
    return n;
}

// Runs the program with a font set-up that knows only the fonts in fontDir; gives what it wrote
// to standard output and error, and its run log.
void runWithFonts(ProgramFolder& folder, const std::string& fontDir, std::string& output, std::string& log)
{
    folder.writeFile("fonts.conf", "<?xml version=\"1.0\"?>\n<!DOCTYPE fontconfig SYSTEM \"fonts.dtd\">\n"
                                   "<fontconfig><dir>" + fontDir + "</dir><cachedir>" +
                                       folder.file("fontcache") + "</cachedir></fontconfig>\n");
    ::setenv("FONTCONFIG_FILE", folder.file("fonts.conf").c_str(), 1);
    const bool started = folder.start();
    ::unsetenv("FONTCONFIG_FILE");
    ASSERT_TRUE(started) << folder.output();
    ASSERT_EQ(folder.stop(), 0) << folder.output();
    output = folder.output();
    log = folder.readFile("log/" + todayLogFileName());
}

} // namespace

TEST(ChineseFont, MissingFontIsReportedOnceOnStandardErrorAndInTheLog)
{
    ProgramFolder folder;
    fs::create_directories(folder.file("no-fonts"));
    std::string output, log;
    runWithFonts(folder, folder.file("no-fonts"), output, log);
    EXPECT_EQ(occurrences(output, kWarning), 1u) << output;
    EXPECT_EQ(occurrences(log, kWarning), 1u) << log;
    for (const std::string* text : {&output, &log}) {
        const std::size_t at = text->find(kWarning);
        ASSERT_NE(at, std::string::npos);
        const std::string line = text->substr(at, text->find('\n', at) - at);
        EXPECT_NE(line.find(kPackage), std::string::npos) << line;
    }
}

TEST(ChineseFont, NoLineWhenAFontCoversChinese)
{
    if (!fs::exists(kChineseFontDir))
        GTEST_SKIP() << kChineseFontDir << " is missing: the package " << kPackage
                     << " (scripts/setup-debian.sh installs it) is not installed";
    ProgramFolder folder;
    std::string output, log;
    runWithFonts(folder, kChineseFontDir, output, log);
    EXPECT_EQ(occurrences(output, kWarning), 0u) << output;
    EXPECT_EQ(occurrences(log, kWarning), 0u) << log;
    EXPECT_NE(log.find("程序网络服务开启成功"), std::string::npos) << log;
}
