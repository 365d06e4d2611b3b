// The program exports the C functions through which module libraries reach the loading overlay.
// Nothing in the program calls them, so this guards against the linker dropping them.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

TEST(ModuleWindowApi, ProgramExportsTheLoadingFunctions)
{
    const std::string command = std::string("nm -D --defined-only '") + KX_BINARY + "'";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> exported;
    char line[1024];
    while (std::fgets(line, sizeof line, pipe)) {
        std::string s(line);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
            s.pop_back();
        // "<address> T <name>": functions in the text section.
        const auto space = s.rfind(' ');
        if (space != std::string::npos && space >= 2 && s[space - 1] == 'T')
            exported.insert(s.substr(space + 1));
    }
    ASSERT_EQ(pclose(pipe), 0);
    for (const char* name : {"KxFindMainWindow", "KxSendMessage", "KxPostMessage"})
        EXPECT_TRUE(exported.count(name)) << name;
}
