// Runtime-form module calls on 32-bit Windows, end to end through the module invoker: a test
// library in C answers with TStringStream objects laid out as a 32-bit Delphi library makes them,
// in each of the runtime's encodings, and with the results a caller must cope with.
#include "bridge/CompactJson.h"
#include "bridge/ModuleInvoker.h"
#include "common/ModuleHandleList.h"
#include "common/TextCodec.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>
#include <vector>

using namespace kx;
namespace fs = std::filesystem;

namespace {

std::string utf8(const fs::path& p)
{
    const std::u8string s = p.u8string();
    return std::string(s.begin(), s.end());
}

// A program folder whose path holds Chinese characters and a blank, with the test library as the
// "pd" module (runtime form: no MODULE-LANG entry).
class DelphiForm : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        root = fs::temp_directory_path() / (fs::path(u8"kx 运行时 ") += std::to_string(std::random_device{}()));
        fs::remove_all(root);
        fs::create_directories(root / "comp" / "pd");
        fs::create_directories(root / "conf");
        fs::copy_file(fs::path(KX_TEST_MODULES_DIR) / "delphi_module.dll", root / "comp" / "pd" / "delphi_module.dll");
        std::ofstream(root / "conf" / "dll.ini", std::ios::binary)
            << "[MODULE-DLLPATH]\r\npd=comp\\pd\\delphi_module.dll\r\n";
        folder = utf8(root);
        ModuleHandleList::instance().create();
    }
    static void TearDownTestSuite()
    {
        ModuleHandleList::instance().releaseAll();
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    static std::string call(const std::string& function, const std::string& request = kRequest)
    {
        return invokeModule(folder, request, "pd", function);
    }
    static std::string configText()
    {
        Json config = Json::object();
        config["appId"] = "7";
        config["appFileDir"] = folder;
        return compactJson(config);
    }
    static std::string echo(const std::string& data) { return "{\"data\":" + data + ",\"config\":" + configText() + "}"; }
    static std::string error(const std::string& message) { return buildErrorBody("2001", "捕获到异常：" + message); }

    static inline const std::string kData = R"({"名称":"值 ✓ 𝄞"})";
    static inline const std::string kRequest = R"({"config":{"appId":7},"data":[)" + kData + "]}";
    static inline fs::path root;
    static inline std::string folder;
};

} // namespace

TEST_F(DelphiForm, ResultsInEachEncodingOfTheRuntime)
{
    const std::string expected = echo(kData);
    const struct {
        const char* function;
        std::string expected;
    } cases[] = {
        {"echoUtf8", expected},
        {"echoUtf16Le", expected},
        {"echoUtf16Be", expected},
        {"answerAnsi", R"({"text":"café €"})"},      // code page 1252, not ISO-8859-1
        {"answerAnsiEarly", R"({"text":"café €"})"}, // the encoding object of Delphi 2009/2010
        {"answerGbk", R"({"text":"中文"})"},         // code page 936
        {"answerSystemAnsi", R"({"text":"café"})"},  // code page 0: the system's ANSI code page
    };
    for (const auto& c : cases)
        EXPECT_EQ(call(c.function), c.expected) << c.function;
}

TEST_F(DelphiForm, ArgumentsAreConstantUnicodeStrings)
{
    // Each argument: code page, element size, reference count, length, NUL after the text.
    auto header = [](const std::string& text) {
        return "[1200,2,-1," + std::to_string(utf8ToUtf16(text).size()) + ",1]";
    };
    const std::string config = header(configText());
    EXPECT_EQ(call("inspectArguments"), "{\"data\":" + header(kData) + ",\"config\":" + config + "}");
    // Absent data arrives as "{}".
    EXPECT_EQ(call("inspectArguments", R"({"config":{"appId":7}})"), "{\"data\":[1200,2,-1,2,1],\"config\":" + config + "}");
}

TEST_F(DelphiForm, ResultsACallerMustCopeWith)
{
    const struct {
        const char* function;
        std::string expected; // the whole reply, or its start when it names an address
        bool prefix;
    } cases[] = {
        {"emptyResult", "", false},
        {"noObject", error("Access violation: the module function returned no object"), false},
        {"negativeSize", error("Invalid stream object returned by the module function"), false},
        {"wildObject", error("Access violation at address 0x"), true},
        {"writeNull", error("Access violation at address 0x0 (EXCEPTION_ACCESS_VIOLATION, writing"), true},
        {"notExported", buildErrorBody("2002", "在DLL中未找到指定的方法"), false},
        {"_echoUtf8@8", buildErrorBody("2002", "在DLL中未找到指定的方法"), false}, // plain names only
        {"echoutf8", buildErrorBody("2002", "在DLL中未找到指定的方法"), false},    // exactly as given
    };
    for (const auto& c : cases) {
        const std::string reply = call(c.function);
        if (c.prefix)
            EXPECT_EQ(reply.substr(0, c.expected.size() - 2), c.expected.substr(0, c.expected.size() - 2)) << reply;
        else
            EXPECT_EQ(reply, c.expected) << c.function;
        // The library stays loaded and answers the next call.
        EXPECT_EQ(call("emptyResult", R"({"config":{"appId":7},"data":[{"n":1}]})"), "") << c.function;
        EXPECT_EQ(call("echoUtf8", R"({"config":{"appId":7},"data":[{"n":1}]})"), echo(R"({"n":1})")) << c.function;
    }
}

TEST_F(DelphiForm, ConcurrentCallsAndFaults)
{
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([i, &wrong] {
            const std::string data = "{\"thread\":" + std::to_string(i) + "}";
            const std::string request = "{\"config\":{\"appId\":7},\"data\":[" + data + "]}";
            for (int round = 0; round < 40; ++round) {
                if ((round + i) % 4 == 0) {
                    if (call("writeNull", request).find("EXCEPTION_ACCESS_VIOLATION") == std::string::npos)
                        ++wrong;
                } else if (call(round % 2 ? "echoUtf8" : "echoUtf16Le", request) != echo(data)) {
                    ++wrong;
                }
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
}
