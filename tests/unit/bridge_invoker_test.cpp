// The module invokers against real module libraries (C form, Pascal runtime form) in a temporary
// program folder: error bodies and their order, the texts a module receives, results, faults,
// exceptions, the handle list, and concurrent calls.
#include "bridge/CompactJson.h"
#include "bridge/ModuleInvoker.h"
#include "bridge/ModuleLibraries.h"
#include "common/ModuleHandleList.h"
#include "platform/DynamicLibrary.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

using namespace kx;
namespace fs = std::filesystem;

namespace {

const std::string kModuleDir = KX_TEST_MODULE_DIR;

class Invoker : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        char tmpl[] = "/tmp/kx-invoker-XXXXXX";
        folder = ::mkdtemp(tmpl);
        fs::create_directories(folder + "/comp");
        for (const char* lib : {"libc_module.so", "libruntime_module.so"})
            fs::create_symlink(kModuleDir + "/" + lib, folder + "/comp/" + lib);
        std::ofstream(folder + "/conf/dll.ini", std::ios::binary);
        fs::create_directories(folder + "/conf");
        std::ofstream(folder + "/conf/dll.ini", std::ios::binary)
            << "[MODULE-DLLPATH]\r\n"
               "print=comp\\libc_module.so\r\n"
               "upload=comp/libc_module.so\r\n"
               "camera=comp\\libc_module.so\r\n"
               "pos=comp\\libruntime_module.so\r\n"
               "pd=comp\\libruntime_module.so\r\n"
               "smart-card=comp\\libruntime_module.so\r\n"
               "ca=comp\\missing.so\r\n"
               "[MODULE-LANG]\r\nprint=c\r\nupload=c\r\ncamera=c\r\npd=C\r\n";
        ModuleHandleList::instance().create();
    }
    static void TearDownTestSuite()
    {
        forgetModuleLibraries();
        ModuleHandleList::instance().releaseAll();
        fs::remove_all(folder);
    }

    static std::string call(const std::string& module, const std::string& function, const std::string& request)
    {
        return invokeModule(folder, request, module, function);
    }
    static std::string echo(const std::string& data, const std::string& config)
    {
        Json j = Json::object();
        j["data"] = data;
        j["config"] = config;
        return compactJson(j);
    }
    static std::string configText() { return "{\"appId\":\"7\",\"appFileDir\":\"" + folder + "\"}"; }
    static std::size_t listed()
    {
        return ModuleHandleList::instance().snapshot().size();
    }

    static inline std::string folder;
};

} // namespace

TEST_F(Invoker, ErrorBodiesInTheirOrder)
{
    const std::string configError = buildErrorBody("2001", "config数据异常，不符合json格式");
    const std::string dataError = buildErrorBody("2001", "data数据异常，不符合json格式");
    const std::string noLibrary = buildErrorBody("2003", "未找到指定的DLL文件");
    const std::string noFunction = buildErrorBody("2002", "在DLL中未找到指定的方法");
    const std::string noConfig = buildErrorBody("2004", "config参数为空");
    const struct {
        const char* module;
        std::string function;
        const char* request;
        std::string expected;
    } cases[] = {
        {"ca", "x", "[1]", configError},                                  // before any library
        {"ca", "x", "{\"config\":[],\"data\":null}", configError},
        {"ca", "x", "{\"data\":null}", dataError},
        {"print", "echo", "{\"data\":{\"a\":1}}", dataError},
        {"ca", "x", "{}", noLibrary},                                     // file missing
        {"nosuch", "x", "{}", noLibrary},                                 // no dll.ini entry
        {"print", "", "{}", noFunction},
        {"print", "absent", "{}", noFunction},
        {"print", "strlen", "{}", noFunction},                            // only the library's own exports
        {"print", std::string("answer\0x", 8), "{}", noFunction},     // a NUL inside the name
        {"pos", "EchoUtf8", "{}", noConfig},
        {"pos", "EchoUtf8", "{\"config\":{\"appId\":\"\"}}", noConfig},
        {"pd", "Nope", "{}", noFunction},                                 // 2002 before 2004
    };
    for (const auto& c : cases)
        EXPECT_EQ(call(c.module, c.function, c.request), c.expected) << c.module << " " << c.function << " " << c.request;
    // The runtime-form library refused for its absent config has been loaded and listed all the same.
    platform::LibraryHandle lib = platform::findLoadedLibrary(folder + "/comp/libruntime_module.so");
    ASSERT_NE(lib, nullptr);
    EXPECT_TRUE(ModuleHandleList::instance().contains(lib, std::chrono::seconds(1)));
    platform::releaseLibrary(lib);
}

TEST_F(Invoker, TextsTheCFormModuleReceives)
{
    const std::string cfg = R"("config":{"appId":7,"x":1})";
    const struct {
        std::string request;
        std::string data;
        std::string config;
    } cases[] = {
        {"", "{}", "{}"},
        {"{}", "{}", "{}"},
        {"{\"data\":[]," + cfg + "}", "{}", configText()},
        {"{\"data\":[{}]}", "{}", "{}"},
        {"{\"data\":[{\"a\":1},{\"b\":2}]," + cfg + "}", "{\"a\":1}", configText()},
        {"{\"data\":[{\"t\":\"中文\\n\"}]}", "{\"t\":\"中文\\n\"}", "{}"},
        {"{\"config\":{\"appId\":\"\"}}", "{}", "{}"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(call("print", "echo", c.request), echo(c.data, c.config)) << c.request;
}

TEST_F(Invoker, CModuleResultsFaultsAndExceptions)
{
    EXPECT_EQ(call("print", "answer", "{}"), "{\"a\":1}");
    EXPECT_EQ(call("print", "nothing", "{}"), "");
    EXPECT_EQ(call("print", "fill", "{}"), ""); // no NUL in the whole buffer
    EXPECT_EQ(call("print", "crash", "{}"),
              buildErrorBody("2001", "捕获到异常：Access violation at address 0x0 (SIGSEGV)"));
    EXPECT_EQ(call("print", "divide", "{}").substr(0, 50), buildErrorBody("2001", "捕获到异常：Division by zero").substr(0, 50));
    EXPECT_EQ(call("print", "fail", "{}"), buildErrorBody("2001", "捕获到异常：模块内部错误 disk full"));
    // The library stays loaded and listed after all of these, and still answers.
    platform::LibraryHandle lib = platform::findLoadedLibrary(folder + "/comp/libc_module.so");
    ASSERT_NE(lib, nullptr);
    EXPECT_TRUE(ModuleHandleList::instance().contains(lib, std::chrono::seconds(1)));
    EXPECT_EQ(call("print", "answer", "{}"), "{\"a\":1}");

    // An exception without a readable message: nothing is reported and the library leaves the list.
    EXPECT_EQ(call("print", "failOddly", "{}"), "");
    EXPECT_FALSE(ModuleHandleList::instance().contains(lib, std::chrono::seconds(1)));
    platform::releaseLibrary(lib);
    // Nothing holds it any more (neither under this module's path nor under "upload"'s).
    EXPECT_EQ(platform::findLoadedLibrary(folder + "/comp/libc_module.so"), nullptr);
    // The next request loads and lists it again.
    EXPECT_EQ(call("print", "answer", "{}"), "{\"a\":1}");
    lib = platform::findLoadedLibrary(folder + "/comp/libc_module.so");
    EXPECT_TRUE(ModuleHandleList::instance().contains(lib, std::chrono::seconds(1)));
    platform::releaseLibrary(lib);
}

// Libraries are kept loaded between calls only while the handle list holds them: at exit the
// list and the call table let go of them together, and without a list nothing keeps them.
TEST_F(Invoker, LibrariesAreKeptOnlyWhileListed)
{
    const std::string path = folder + "/comp/libc_module.so";
    ASSERT_EQ(call("print", "answer", "{}"), "{\"a\":1}");
    ASSERT_EQ(call("upload", "answer", "{}"), "{\"a\":1}");
    forgetModuleLibraries();
    ModuleHandleList::instance().releaseAll();
    EXPECT_EQ(platform::findLoadedLibrary(path), nullptr);

    EXPECT_EQ(call("print", "answer", "{}"), "{\"a\":1}");
    EXPECT_EQ(platform::findLoadedLibrary(path), nullptr);

    ModuleHandleList::instance().create();
    EXPECT_EQ(call("print", "answer", "{}"), "{\"a\":1}");
    platform::LibraryHandle lib = platform::findLoadedLibrary(path);
    ASSERT_NE(lib, nullptr);
    EXPECT_TRUE(ModuleHandleList::instance().contains(lib, std::chrono::seconds(1)));
    platform::releaseLibrary(lib);
}

TEST_F(Invoker, RuntimeFormResults)
{
    const std::string request = R"({"config":{"appId":7},"data":[{"k":"中文"}]})";
    const std::string expected = "{\"data\":{\"k\":\"中文\"},\"config\":" + configText() + "}";
    for (const char* function : {"EchoUtf8", "EchoUtf16", "EchoBigEndian", "EchoDefault"})
        EXPECT_EQ(call("pos", function, request), expected) << function;
    EXPECT_EQ(call("pos", "AnsiAnswer", request), "{\"ansi\":\"plain\"}");
    EXPECT_EQ(call("pos", "Chinese", request), "{\"text\":\"中文打印完成\",\"length\":10}");
    EXPECT_EQ(call("pos", "EchoUtf8", R"({"config":{"appId":7}})"), "{\"data\":{},\"config\":" + configText() + "}");
    EXPECT_EQ(call("pos", "NilResult", request).substr(0, 40), buildErrorBody("2001", "捕获到异常：").substr(0, 40));
    // "C" is not "c": the runtime form.
    EXPECT_EQ(call("pd", "EchoUtf8", request), expected);
}

TEST_F(Invoker, LargeVariant)
{
    auto camera = [](const std::string& module, const std::string& function, const std::string& request) {
        return invokeCModule(folder, request, module, function);
    };
    EXPECT_EQ(camera("camera", "echo", ""), buildErrorBody("2001", "data数据异常，不符合json格式"));
    EXPECT_EQ(camera("camera", "echo", "{\"data\":{\"a\":1}}"), echo("{}", "{}"));
    EXPECT_EQ(camera("camera", "echo", "{\"data\":null}"), echo("{}", "{}"));
    EXPECT_EQ(camera("camera", "echo", "{\"data\":[\"abc\"]}"), echo("abc", "{}"));
    EXPECT_EQ(camera("camera", "echo", "{\"data\":[{\"p\":\"a/b\"}]}"), echo("{\"p\":\"a\\/b\"}", "{}"));
    EXPECT_EQ(camera("camera", "echo", "{\"data\":[null]}"), buildErrorBody("2001", "data数据异常，不符合json格式"));
    const std::string big = camera("camera", "big", "{\"data\":[{\"mib\":3}]}");
    EXPECT_EQ(big.size(), (std::size_t{3} << 20) + 11);
    // No runtime form here: the function is looked up, nothing is called.
    EXPECT_EQ(camera("smart-card", "EchoUtf8", "{}"), "");
    EXPECT_EQ(camera("smart-card", "Nope", "{}"), buildErrorBody("2002", "在DLL中未找到指定的方法"));
}

TEST_F(Invoker, ConcurrentCallsWithFaultsAndOneListEntryPerLibrary)
{
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 24; ++i) {
        threads.emplace_back([i, &wrong] {
            const std::string module = i % 2 ? "print" : "upload"; // the same library under two names
            for (int round = 0; round < 3; ++round) {
                if (i % 6 == 5) {
                    if (call(module, "crash", "{}").find("SIGSEGV") == std::string::npos)
                        ++wrong;
                } else {
                    const std::string data = "{\"ms\":\"30\",\"n\":\"" + std::string(1, char('a' + i)) + "\"}";
                    if (call(module, "slow", "{\"data\":[" + data + "]}") != echo(data, "{}"))
                        ++wrong;
                }
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
    const auto handles = ModuleHandleList::instance().snapshot();
    platform::LibraryHandle lib = platform::findLoadedLibrary(folder + "/comp/libc_module.so");
    EXPECT_EQ(std::count(handles.begin(), handles.end(), lib), 1);
    platform::releaseLibrary(lib);
}

TEST_F(Invoker, EscapedFailureWhileOthersAreInsideTheLibrary)
{
    // Calls still inside the library hold references of their own: dropping it from the list
    // after an escaped failure must not unmap it under them.
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&wrong] {
            if (call("print", "slow", "{\"data\":[{\"ms\":\"300\"}]}") != echo("{\"ms\":\"300\"}", "{}"))
                ++wrong;
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(call("print", "failOddly", "{}"), "");
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
}
