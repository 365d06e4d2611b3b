#include "platform/FaultGuard.h"

#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include <pthread.h>
#include <sys/mman.h>
#include <ucontext.h>

namespace kx::platform {

namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};

struct GuardFrame {
    sigjmp_buf jump;
    volatile sig_atomic_t active = 0;
    int signo = 0;
    int code = 0;
    void* address = nullptr;
    // The signal mask of the code that faulted. The jump out of the handler does not restore a
    // mask (saving one on every call costs a system call); the handler's own blocking of the
    // signal is undone with this after the jump.
    sigset_t interruptedMask;
};

thread_local GuardFrame* tlsFrame = nullptr;

struct sigaction previousActions[NSIG];

// A signal stack of this thread's own, so that even a stack overflow inside a module can be
// turned into an error. Kept when the thread already has one.
struct AlternateStack {
    void* memory = nullptr;
    std::size_t size = 256 * 1024;

    AlternateStack()
    {
        stack_t current{};
        if (sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE) && current.ss_sp)
            return;
        memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) {
            memory = nullptr;
            return;
        }
        stack_t s{};
        s.ss_sp = memory;
        s.ss_size = size;
        s.ss_flags = 0;
        if (sigaltstack(&s, nullptr) != 0) {
            munmap(memory, size);
            memory = nullptr;
        }
    }
    ~AlternateStack()
    {
        if (!memory)
            return;
        stack_t s{};
        s.ss_flags = SS_DISABLE;
        sigaltstack(&s, nullptr);
        munmap(memory, size);
    }
};

void ensureAlternateStack()
{
    thread_local AlternateStack stack;
    (void)stack;
}

void onFault(int signo, siginfo_t* info, void* ucontext)
{
    GuardFrame* frame = tlsFrame;
    if (frame && frame->active) {
        frame->active = 0;
        frame->signo = signo;
        frame->code = info ? info->si_code : 0;
        frame->address = info ? info->si_addr : nullptr;
        frame->interruptedMask = static_cast<ucontext_t*>(ucontext)->uc_sigmask;
        siglongjmp(frame->jump, 1);
    }
    // Not inside a guarded call: hand the fault to whoever had it before us.
    const struct sigaction& prev = previousActions[signo];
    if ((prev.sa_flags & SA_SIGINFO) && prev.sa_sigaction) {
        prev.sa_sigaction(signo, info, ucontext);
        return;
    }
    if (!(prev.sa_flags & SA_SIGINFO) && prev.sa_handler != SIG_DFL && prev.sa_handler != SIG_IGN) {
        prev.sa_handler(signo);
        return;
    }
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(signo, &dfl, nullptr);
    // A fault raised by the processor repeats on return and now takes the default action; one sent
    // by raise or kill does not repeat, so send it again.
    if (!info || info->si_code <= 0)
        raise(signo);
}

std::string describe(const GuardFrame& f)
{
    char address[32];
    std::snprintf(address, sizeof address, "0x%zx", reinterpret_cast<std::size_t>(f.address));
    switch (f.signo) {
    case SIGSEGV:
        return std::string("Access violation at address ") + address + " (SIGSEGV)";
    case SIGBUS:
        return std::string("Bus error at address ") + address + " (SIGBUS)";
    case SIGFPE:
        if (f.code == FPE_INTDIV)
            return std::string("Division by zero at address ") + address + " (SIGFPE)";
        if (f.code == FPE_INTOVF)
            return std::string("Integer overflow at address ") + address + " (SIGFPE)";
        return std::string("Floating point fault at address ") + address + " (SIGFPE)";
    case SIGILL:
        return std::string("Illegal instruction at address ") + address + " (SIGILL)";
    default:
        return "Processor fault (signal " + std::to_string(f.signo) + ")";
    }
}

std::once_flag installOnce;

} // namespace

void installFaultHandlers()
{
    std::call_once(installOnce, [] {
        for (int signo : kSignals) {
            struct sigaction action {};
            action.sa_sigaction = onFault;
            action.sa_flags = SA_SIGINFO | SA_ONSTACK;
            sigemptyset(&action.sa_mask);
            sigaction(signo, &action, &previousActions[signo]);
        }
    });
}

bool runFaultGuarded(void (*fn)(void*), void* context, std::string& faultMessage)
{
    installFaultHandlers();
    ensureAlternateStack();
    GuardFrame frame;
    GuardFrame* const outer = tlsFrame;
    tlsFrame = &frame;
    if (sigsetjmp(frame.jump, 0) == 0) {
        frame.active = 1;
        fn(context);
        frame.active = 0;
        tlsFrame = outer;
        return true;
    }
    pthread_sigmask(SIG_SETMASK, &frame.interruptedMask, nullptr);
    tlsFrame = outer;
    faultMessage = describe(frame);
    return false;
}

} // namespace kx::platform
