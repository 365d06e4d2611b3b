// 32-bit Windows: each guarded call runs inside a frame-based exception handler of its own, an
// EXCEPTION_REGISTRATION record pushed onto the thread's chain at fs:[0]. The system offers an
// exception to the handlers on that chain from the innermost outwards, so every handler the called
// library installed (its own try/except, its runtime's frames) sees the exception first and may
// handle it; only an exception that none of them handled reaches the guard. The guard then lets
// the system unwind the frames above it (their termination handlers run) and resumes at the point
// where the call was made, as a longjmp would.
#include "platform/FaultGuard.h"

#if !defined(__i386__)
#error "This fault guard is written for 32-bit x86 Windows (frame-based exception handling)"
#endif

#include <windows.h>

#include <malloc.h>

#include <cstdio>

namespace kx::platform {

namespace {

// The registration record the system walks, followed by what the handler needs to resume and what
// it learnt about the exception. Lives in runFaultGuarded's stack frame for the length of the call.
struct GuardRecord {
    GuardRecord* previous;
    void* handler;
    void* resume[5]; // __builtin_setjmp buffer: frame pointer, resume address, stack pointer
    DWORD code;
    void* address;     // the instruction that raised it
    void* dataAddress; // for access violations: the address that was accessed
    ULONG_PTR accessKind;
};

GuardRecord* chainHead()
{
    GuardRecord* head;
    asm volatile("movl %%fs:0, %0" : "=r"(head));
    return head;
}

void setChainHead(GuardRecord* head)
{
    asm volatile("movl %0, %%fs:0" : : "r"(head) : "memory");
}

} // namespace

} // namespace kx::platform

// RtlUnwind may change ebx, esi and edi; this wrapper keeps them for its caller.
// void kxGuardUnwind(void* targetFrame, EXCEPTION_RECORD* record)
extern "C" void kxGuardUnwind(void* targetFrame, EXCEPTION_RECORD* record);
asm(".text\n"
    ".globl _kxGuardUnwind\n"
    "_kxGuardUnwind:\n"
    "    pushl %ebp\n"
    "    movl %esp, %ebp\n"
    "    pushl %ebx\n"
    "    pushl %esi\n"
    "    pushl %edi\n"
    "    pushl $0\n"          // return value
    "    pushl 12(%ebp)\n"    // exception record
    "    pushl $0\n"          // target address: come back here
    "    pushl 8(%ebp)\n"     // target frame
    "    call _RtlUnwind@16\n"
    "    leal -12(%ebp), %esp\n"
    "    popl %edi\n"
    "    popl %esi\n"
    "    popl %ebx\n"
    "    popl %ebp\n"
    "    ret\n");

namespace kx::platform {

namespace {

extern "C" EXCEPTION_DISPOSITION __cdecl guardHandler(EXCEPTION_RECORD* exception, void* establisherFrame,
                                                       CONTEXT*, void*)
{
    // Called again while the frames are unwound (by us or by an outer handler): nothing to do.
    if (exception->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND))
        return ExceptionContinueSearch;
    auto* record = static_cast<GuardRecord*>(establisherFrame);
    record->code = exception->ExceptionCode;
    record->address = exception->ExceptionAddress;
    record->dataAddress = nullptr;
    record->accessKind = 0;
    if ((exception->ExceptionCode == EXCEPTION_ACCESS_VIOLATION ||
         exception->ExceptionCode == EXCEPTION_IN_PAGE_ERROR) &&
        exception->NumberParameters >= 2) {
        record->accessKind = exception->ExceptionInformation[0];
        record->dataAddress = reinterpret_cast<void*>(exception->ExceptionInformation[1]);
    }
    // Every frame above the guard unwinds (the library's own termination handlers run), which
    // leaves the guard's record at the head of the chain; then resume where the call was made.
    kxGuardUnwind(establisherFrame, exception);
    __builtin_longjmp(record->resume, 1);
}

std::string hex(const void* address)
{
    char text[32];
    std::snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(address)));
    return text;
}

std::string describe(const GuardRecord& r)
{
    const std::string at = hex(r.address);
    switch (r.code) {
    case EXCEPTION_ACCESS_VIOLATION: {
        const char* kind = r.accessKind == 1 ? "writing" : r.accessKind == 8 ? "executing" : "reading";
        return "Access violation at address " + hex(r.dataAddress) + " (EXCEPTION_ACCESS_VIOLATION, " + kind +
               ", instruction at " + at + ")";
    }
    case EXCEPTION_IN_PAGE_ERROR:
        return "Page could not be read at address " + hex(r.dataAddress) + " (EXCEPTION_IN_PAGE_ERROR)";
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
        return "Division by zero at address " + at + " (EXCEPTION_INT_DIVIDE_BY_ZERO)";
    case EXCEPTION_INT_OVERFLOW:
        return "Integer overflow at address " + at + " (EXCEPTION_INT_OVERFLOW)";
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
        return "Floating point division by zero at address " + at + " (EXCEPTION_FLT_DIVIDE_BY_ZERO)";
    case EXCEPTION_FLT_OVERFLOW:
    case EXCEPTION_FLT_UNDERFLOW:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_STACK_CHECK:
        return "Floating point fault at address " + at + " (exception code " + hex(reinterpret_cast<void*>(r.code)) +
               ")";
    case EXCEPTION_ILLEGAL_INSTRUCTION:
        return "Illegal instruction at address " + at + " (EXCEPTION_ILLEGAL_INSTRUCTION)";
    case EXCEPTION_PRIV_INSTRUCTION:
        return "Privileged instruction at address " + at + " (EXCEPTION_PRIV_INSTRUCTION)";
    case EXCEPTION_STACK_OVERFLOW:
        return "Stack overflow at address " + at + " (EXCEPTION_STACK_OVERFLOW)";
    case EXCEPTION_DATATYPE_MISALIGNMENT:
        return "Misaligned data access at address " + at + " (EXCEPTION_DATATYPE_MISALIGNMENT)";
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
        return "Array bounds exceeded at address " + at + " (EXCEPTION_ARRAY_BOUNDS_EXCEEDED)";
    default:
        // A software exception the library raised and did not handle itself: its runtime's own
        // exception object, whose message cannot be read here. No message says so.
        return {};
    }
}

// Room for the handler when the stack overflows: what is left below the guard page after it was
// hit. Asked once per thread; refused by systems that do not offer it, which then give the usual
// single page.
void reserveOverflowRoom()
{
    thread_local bool asked = false;
    if (asked)
        return;
    asked = true;
    ULONG bytes = 32 * 1024;
    SetThreadStackGuarantee(&bytes);
}

// Runs fn with the record at the head of the chain. A C++ exception leaving fn takes the record off
// the chain on its way out; after a fault this frame is abandoned and the caller restores the chain.
__attribute__((noinline)) void callInFrame(void (*fn)(void*), void* context, GuardRecord* record)
{
    struct Restore {
        GuardRecord* previous;
        ~Restore() { setChainHead(previous); }
    } restore{record->previous};
    setChainHead(record);
    fn(context);
}

} // namespace

void installFaultHandlers()
{
    // Nothing process-wide: the handler is part of each guarded call's own frame.
}

bool runFaultGuarded(void (*fn)(void*), void* context, std::string& faultMessage)
{
    reserveOverflowRoom();
    // volatile: the record is read again after resuming, when registers hold nothing reliable.
    volatile GuardRecord record{};
    auto* r = const_cast<GuardRecord*>(&record);
    r->handler = reinterpret_cast<void*>(&guardHandler);
    r->previous = chainHead();
    if (__builtin_setjmp(r->resume) == 0) {
        callInFrame(fn, context, r);
        return true;
    }
    setChainHead(r->previous);
    if (r->code == EXCEPTION_STACK_OVERFLOW)
        _resetstkoflw(); // the guard page was used up; put it back for the next overflow
    faultMessage = describe(*r);
    return false;
}

} // namespace kx::platform
