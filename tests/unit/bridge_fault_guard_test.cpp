// The fault guard: faults inside a guarded call become messages on the calling thread only; a
// fault outside any guarded call keeps its usual effect.
#include "platform/FaultGuard.h"

#include <gtest/gtest.h>

#include <csignal>
#include <thread>
#include <vector>

using namespace kx::platform;

namespace {

// These faults are the point of the test; the checkers must not stop or report them first.
__attribute__((no_sanitize("undefined", "thread"))) void writeNull(void*)
{
    volatile int* p = nullptr;
    *p = 1;
}

__attribute__((no_sanitize("undefined", "thread"))) void divideByZero(void* zero)
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
        {writeNull, nullptr, "Access violation at address 0x0 (SIGSEGV)"},
        {divideByZero, &zero, "Division by zero"},
        {illegal, nullptr, "Illegal instruction"},
        {overflowStack, nullptr, "(SIGSEGV)"},
    };
    for (const auto& c : cases) {
        std::string message;
        EXPECT_FALSE(runFaultGuarded(c.fn, c.context, message)) << c.expected;
        EXPECT_NE(message.find(c.expected), std::string::npos) << message;
    }
    bool ran = false;
    std::string message;
    EXPECT_TRUE(runFaultGuarded(nothing, &ran, message));
    EXPECT_TRUE(ran);
}

// After a fault the thread's signal mask is what it was: the fault's signal is not left blocked
// (the next fault would end the process), and a signal the thread had blocked stays blocked.
TEST(FaultGuard, LeavesTheSignalMaskAsItWas)
{
    std::thread([] {
        sigset_t blocked;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGUSR2);
        ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, nullptr), 0);
        std::string message;
        EXPECT_FALSE(runFaultGuarded(writeNull, nullptr, message));
        sigset_t now;
        ASSERT_EQ(pthread_sigmask(SIG_BLOCK, nullptr, &now), 0);
        EXPECT_EQ(sigismember(&now, SIGSEGV), 0);
        EXPECT_EQ(sigismember(&now, SIGUSR2), 1);
    }).join();
}

TEST(FaultGuard, ManyThreadsFaultAtOnce)
{
    std::vector<std::thread> threads;
    std::vector<int> caught(16, 0);
    for (int i = 0; i < 16; ++i)
        threads.emplace_back([&caught, i] {
            for (int round = 0; round < 20; ++round) {
                std::string message;
                if (!runFaultGuarded(writeNull, nullptr, message) && message.find("SIGSEGV") != std::string::npos)
                    ++caught[i];
            }
        });
    for (auto& t : threads)
        t.join();
    for (int c : caught)
        EXPECT_EQ(c, 20);
}

TEST(FaultGuardDeathTest, FaultOutsideAGuardStillEndsTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    installFaultHandlers();
    EXPECT_DEATH(writeNull(nullptr), "");
}
