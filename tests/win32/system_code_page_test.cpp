// The run log's text in the ANSI code page: the code page's own bytes for what it can represent,
// its default character for the rest, and nothing of the UTF-8 form left over.
#include "platform/SystemCodePage.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

using kx::platform::toSystemCodePage;

TEST(SystemCodePage, TextInTheAnsiCodePage)
{
    struct Case {
        const char* utf8;
        std::string ansi;
    };
    // The code page is the one Wine derives from the locale the tests run under.
    const UINT codePage = GetACP();
    std::initializer_list<Case> cases;
    const std::initializer_list<Case> chinese = {
        {"【09:05:01】 程序网络服务开启成功，当前端口号： 13526",
         "\xA1\xBE" "09:05:01\xA1\xBF \xB3\xCC\xD0\xF2\xCD\xF8\xC2\xE7\xB7\xFE\xCE\xF1\xBF\xAA\xC6\xF4\xB3\xC9\xB9\xA6"
         "\xA3\xAC\xB5\xB1\xC7\xB0\xB6\xCB\xBF\xDA\xBA\xC5\xA3\xBA 13526"},
        {"Kestrix客户端", "Kestrix\xBF\xCD\xBB\xA7\xB6\xCB"},
        {"\xF0\x9F\x98\x80", "??"}, // outside the code page: one default character per UTF-16 unit
        {"Pr\xC5\x91" "be", "Pr?be"},  // no best fit: "ő" is not written as "o"
    };
    const std::initializer_list<Case> western = {
        {"caf\xC3\xA9 \xE4\xB8\xAD", "caf\xE9 ?"},
        {"plain ASCII 123", "plain ASCII 123"},
        {"\xC4\x81 Pr\xC5\x91" "be", "? Pr?be"}, // no best fit: "ā" and "ő" are not "a" and "o"
    };
    if (codePage == 936)
        cases = chinese;
    else if (codePage == 1252)
        cases = western;
    else
        GTEST_SKIP() << "no cases for the ANSI code page " << codePage;
    for (const Case& c : cases)
        EXPECT_EQ(toSystemCodePage(c.utf8), c.ansi) << c.utf8;
    EXPECT_EQ(toSystemCodePage(""), "");
}
