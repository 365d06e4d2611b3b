// The fault guard on 32-bit Windows: a fault inside a guarded call becomes a message naming it,
// on any number of threads at once, and the process goes on; an exception that the called code
// raises and handles itself never reaches the guard. Then the same through the module invoker with
// a C-form test library that faults or handles its own exceptions.
#include "bridge/CompactJson.h"
#include "bridge/ModuleInvoker.h"
#include "common/ModuleHandleList.h"
#include "platform/FaultGuard.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>
#include <vector>

using namespace kx;
using kx::platform::runFaultGuarded;
namespace fs = std::filesystem;

namespace {

int* volatile nowhere = nullptr;

void writeNull(void*) { *nowhere = 1; }

void divideByZero(void* zero)
{
    volatile int n = 7 / *static_cast<volatile int*>(zero);
    (void)n;
}

void illegal(void*) { __builtin_trap(); }

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winfinite-recursion"
int recurse(volatile char* previous)
{
    volatile char frame[4096];
    frame[0] = previous ? previous[0] + 1 : 0;
    return recurse(frame) + frame[1];
}
#pragma GCC diagnostic pop

void overflowStack(void*) { recurse(nullptr); }

void raiseUnhandled(void*) { RaiseException(0xE0001234u, 0, 0, nullptr); }

// An exception raised and handled inside the call, by a guarded call nested in it: the inner guard
// handles it, the outer one sees nothing.
void nestedFault(void* message) { runFaultGuarded(writeNull, nullptr, *static_cast<std::string*>(message)); }

void nothing(void* flag) { *static_cast<bool*>(flag) = true; }

} // namespace

TEST(FaultGuard, TurnsFaultsIntoMessages)
{
    int zero = 0;
    const struct {
        void (*fn)(void*);
        void* context;
        const char* expected;
    } cases[] = {
        {writeNull, nullptr, "Access violation at address 0x0 (EXCEPTION_ACCESS_VIOLATION, writing"},
        {divideByZero, &zero, "Division by zero at address 0x"},
        {illegal, nullptr, "Illegal instruction at address 0x"},
        {overflowStack, nullptr, "Stack overflow at address 0x"},
        {overflowStack, nullptr, "Stack overflow at address 0x"}, // the stack's guard page is back
    };
    for (const auto& c : cases) {
        std::string message;
        EXPECT_FALSE(runFaultGuarded(c.fn, c.context, message)) << c.expected;
        EXPECT_EQ(message.rfind(c.expected, 0), 0u) << message;
    }
    bool ran = false;
    std::string message;
    EXPECT_TRUE(runFaultGuarded(nothing, &ran, message));
    EXPECT_TRUE(ran);
    std::string inner;
    EXPECT_TRUE(runFaultGuarded(nestedFault, &inner, message));
    EXPECT_NE(inner.find("EXCEPTION_ACCESS_VIOLATION"), std::string::npos) << inner;
}

TEST(FaultGuard, ManyThreadsFaultAtOnce)
{
    std::vector<std::thread> threads;
    std::vector<int> caught(12, 0);
    for (int i = 0; i < 12; ++i)
        threads.emplace_back([&caught, i] {
            int zero = 0;
            for (int round = 0; round < 20; ++round) {
                std::string message;
                const bool divide = (round + i) % 2;
                if (!runFaultGuarded(divide ? divideByZero : writeNull, &zero, message) &&
                    message.find(divide ? "EXCEPTION_INT_DIVIDE_BY_ZERO" : "EXCEPTION_ACCESS_VIOLATION") !=
                        std::string::npos)
                    ++caught[i];
            }
        });
    for (auto& t : threads)
        t.join();
    for (int c : caught)
        EXPECT_EQ(c, 20);
}

namespace {

// A program folder (Chinese characters and a blank in its path) with the C-form test library as
// the "print" module.
class CFormFaults : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        root = fs::temp_directory_path() / (fs::path(u8"kx 异常 ") += std::to_string(std::random_device{}()));
        fs::remove_all(root);
        fs::create_directories(root / "comp");
        fs::create_directories(root / "conf");
        fs::copy_file(fs::path(KX_TEST_MODULES_DIR) / "fault_module.dll", root / "comp" / "fault_module.dll");
        std::ofstream(root / "conf" / "dll.ini", std::ios::binary)
            << "[MODULE-DLLPATH]\r\nprint=comp\\fault_module.dll\r\n[MODULE-LANG]\r\nprint=c\r\n";
        const std::u8string u8 = root.u8string();
        folder.assign(u8.begin(), u8.end());
        ModuleHandleList::instance().create();
    }
    static void TearDownTestSuite()
    {
        ModuleHandleList::instance().releaseAll();
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    static std::string call(const std::string& function, const std::string& request = R"({"data":[{"n":1}]})")
    {
        return invokeModule(folder, request, "print", function);
    }
    static std::string error(const std::string& message) { return buildErrorBody("2001", "捕获到异常：" + message); }
    static std::string start(const std::string& body) { return body.substr(0, body.size() - 2); }

    static inline fs::path root;
    static inline std::string folder;
};

} // namespace

TEST_F(CFormFaults, FaultsBecomeErrorsAndTheLibraryAnswersAgain)
{
    const struct {
        const char* function;
        std::string start;
    } cases[] = {
        {"writeNull", start(error("Access violation at address 0x0 (EXCEPTION_ACCESS_VIOLATION, writing"))},
        {"divideByZero", start(error("Division by zero at address 0x"))},
        {"overflowStack", start(error("Stack overflow at address 0x"))},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(call(c.function).rfind(c.start, 0), 0u) << call(c.function);
        EXPECT_EQ(call("echo"), R"({"data":{"n":1}})") << c.function;
    }
}

// An exception of the library's own runtime that it does not handle carries no message this
// program can read: the call escapes (empty result, library freed) and the next call loads the
// library again.
TEST_F(CFormFaults, AnUnreadableExceptionEscapesAndTheLibraryIsLoadedAgain)
{
    std::string message = "unchanged";
    EXPECT_FALSE(runFaultGuarded(raiseUnhandled, nullptr, message));
    EXPECT_EQ(message, "");
    EXPECT_EQ(call("raiseUnhandled"), "");
    EXPECT_EQ(GetModuleHandleW((root / "comp" / "fault_module.dll").wstring().c_str()), nullptr);
    EXPECT_EQ(call("echo"), R"({"data":{"n":1}})");
}

TEST_F(CFormFaults, ALibraryHandlesItsOwnExceptionsFirst)
{
    EXPECT_EQ(call("catchOwnRaise"), R"({"caught":"raise"})");
    EXPECT_EQ(call("catchOwnFault"), R"({"caught":"fault"})");
}

TEST_F(CFormFaults, TheLibrarysFinallyBlocksRunBeforeTheGuardTakesOver)
{
    EXPECT_EQ(call("finallyCount"), R"({"finallyRuns":0})");
    EXPECT_EQ(call("faultInsideFinally").rfind(start(error("Access violation at address 0x0")), 0), 0u);
    EXPECT_EQ(call("finallyCount"), R"({"finallyRuns":1})");
}

TEST_F(CFormFaults, ConcurrentCallsFaultsAndOwnExceptions)
{
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([i, &wrong] {
            const std::string request = "{\"data\":[{\"t\":" + std::to_string(i) + "}]}";
            const std::string echoed = "{\"data\":{\"t\":" + std::to_string(i) + "}}";
            for (int round = 0; round < 40; ++round) {
                std::string reply;
                bool right = false;
                switch ((round + i) % 4) {
                case 0:
                    reply = call("writeNull", request);
                    right = reply.find("EXCEPTION_ACCESS_VIOLATION") != std::string::npos;
                    break;
                case 1:
                    right = call("catchOwnFault", request) == R"({"caught":"fault"})";
                    break;
                case 2:
                    right = call("catchOwnRaise", request) == R"({"caught":"raise"})";
                    break;
                default:
                    right = call("echo", request) == echoed;
                }
                if (!right)
                    ++wrong;
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
}
