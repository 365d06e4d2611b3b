// Windows: each guarded call runs inside an exception handler of its own. The system offers an
// exception to the handlers from the innermost frame outwards, so every handler the called library
// installed (its own try/except, its runtime's frames) sees the exception first and may handle it;
// only an exception that none of them handled reaches the guard. The guard then lets the system
// unwind the frames above it (their termination handlers run) and resumes at the point where the
// call was made, as a longjmp would.
//
// 32-bit x86 (the program users install): the handler is an EXCEPTION_REGISTRATION record pushed
// onto the thread's chain at fs:[0]. 64-bit x86 (the build the tests run on where 32-bit programs
// cannot run): the handler is a scope of the function that makes the call, in its unwind table,
// with a filter that takes the exception; the system's scope handler unwinds to the scope's end.
#include "platform/FaultGuard.h"

#include <windows.h>

#include <malloc.h>

#include <cstdio>
#include <string>

namespace kx::platform {

namespace {

// What the guard learnt about the exception that ended a call.
struct FaultRecord {
    DWORD code = 0;
    void* address = nullptr;     // the instruction that raised it
    void* dataAddress = nullptr; // for access violations: the address that was accessed
    ULONG_PTR accessKind = 0;
};

std::string hex(const void* address)
{
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(address)));
    return text;
}

std::string describe(const FaultRecord& r)
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

void learn(FaultRecord& r, const EXCEPTION_RECORD* exception)
{
    r.code = exception->ExceptionCode;
    r.address = exception->ExceptionAddress;
    r.dataAddress = nullptr;
    r.accessKind = 0;
    if ((exception->ExceptionCode == EXCEPTION_ACCESS_VIOLATION ||
         exception->ExceptionCode == EXCEPTION_IN_PAGE_ERROR) &&
        exception->NumberParameters >= 2) {
        r.accessKind = exception->ExceptionInformation[0];
        r.dataAddress = reinterpret_cast<void*>(exception->ExceptionInformation[1]);
    }
}

} // namespace

} // namespace kx::platform

#if defined(__i386__)

namespace kx::platform {

namespace {

// The registration record the system walks, followed by what the handler needs to resume and what
// it learnt about the exception. Lives in runFaultGuarded's stack frame for the length of the call.
struct GuardRecord {
    GuardRecord* previous;
    void* handler;
    void* resume[5]; // __builtin_setjmp buffer: frame pointer, resume address, stack pointer
    FaultRecord fault;
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
    learn(record->fault, exception);
    // Every frame above the guard unwinds (the library's own termination handlers run), which
    // leaves the guard's record at the head of the chain; then resume where the call was made.
    kxGuardUnwind(establisherFrame, exception);
    __builtin_longjmp(record->resume, 1);
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
    if (r->fault.code == EXCEPTION_STACK_OVERFLOW)
        _resetstkoflw(); // the guard page was used up; put it back for the next overflow
    faultMessage = describe(r->fault);
    return false;
}

} // namespace kx::platform

#elif defined(__x86_64__)

namespace kx::platform {

namespace {

// The fault record of the innermost guarded call running on this thread.
thread_local FaultRecord* t_fault = nullptr;

// Exceptions of this program's own C++ runtime pass through: a C++ exception leaving fn is
// caught by its callers, as without the guard.
constexpr DWORD kGccThrow = 0x20474343;
constexpr DWORD kGccUnwind = 0x21474343;
constexpr DWORD kGccForced = 0x22474343;

} // namespace

} // namespace kx::platform

// The scope's filter, named in the unwind table below (hence unmangled). It runs when no handler
// of the called library took the exception.
extern "C" LONG kxFaultGuardFilter(EXCEPTION_POINTERS* info, void* /*establisherFrame*/)
{
    using namespace kx::platform;
    const DWORD code = info->ExceptionRecord->ExceptionCode;
    if (code == kGccThrow || code == kGccUnwind || code == kGccForced || !t_fault)
        return EXCEPTION_CONTINUE_SEARCH;
    learn(*t_fault, info->ExceptionRecord);
    return EXCEPTION_EXECUTE_HANDLER;
}

namespace kx::platform {

namespace {

// Calls fn inside one scope of this function's unwind table: after a fault the system unwinds the
// frames above this one and resumes at the scope's end, with this frame's stack. The function
// keeps no objects (it must have no other exception handler) and says nothing: the outcome is in
// the fault record, read by the caller. noipa: after a fault it returns with whatever the unwind
// left in the registers a call may change, so its caller must not count on any of them.
__attribute__((noipa)) void callInScope(void (*fn)(void*), void* context)
{
    asm volatile("kx_fault_guard_begin:\n\t"
                 ".seh_handler __C_specific_handler, @except\n\t"
                 ".seh_handlerdata\n\t"
                 ".long 1\n\t"
                 ".rva kx_fault_guard_begin, kx_fault_guard_end, kxFaultGuardFilter, kx_fault_guard_end\n\t"
                 ".text\n");
    fn(context);
    asm volatile("nop\n"
                 "kx_fault_guard_end:\n\t"
                 "nop\n" ::: "memory");
}

} // namespace

void installFaultHandlers()
{
    // Nothing process-wide: the handler is part of each guarded call's own frame.
}

bool runFaultGuarded(void (*fn)(void*), void* context, std::string& faultMessage)
{
    reserveOverflowRoom();
    FaultRecord fault;
    struct Innermost {
        FaultRecord* outer;
        ~Innermost() { t_fault = outer; } // also when a C++ exception leaves fn
    } innermost{t_fault};
    t_fault = &fault;
    callInScope(fn, context);
    if (fault.code == 0)
        return true;
    if (fault.code == EXCEPTION_STACK_OVERFLOW)
        _resetstkoflw(); // the guard page was used up; put it back for the next overflow
    faultMessage = describe(fault);
    return false;
}

} // namespace kx::platform

#else
#error "The fault guard knows 32-bit and 64-bit x86 Windows"
#endif
