/* A C-form module library for the Windows fault tests: functions that fault, and functions that
 * raise exceptions and handle them in frame-based handlers of their own, as libraries built with
 * Pascal runtimes do in every try/except. */
#include "kestrix_module.h"

#include <windows.h>

#include <stdio.h>
#include <string.h>

/* Read at run time, so that the compiler cannot see the null write coming and drop what follows. */
static int* volatile nowhere = 0;

static void put(char16_t* result, const char16_t* text)
{
    size_t n = 0;
    while (text[n])
        ++n;
    memcpy(result, text, (n + 1) * sizeof(char16_t));
}

KX_MODULE_EXPORT void KX_MODULE_CALL writeNull(const char16_t* data, const char16_t* config, char16_t* result)
{
    (void)data;
    (void)config;
    (void)result;
    *nowhere = 1;
}

KX_MODULE_EXPORT void KX_MODULE_CALL divideByZero(const char16_t* data, const char16_t* config, char16_t* result)
{
    (void)config;
    volatile int zero = data[0] == u'{' ? 0 : 1;
    volatile int n = 7 / zero;
    put(result, n ? u"{}" : u"");
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winfinite-recursion"
static int recurse(volatile char* previous)
{
    volatile char frame[4096];
    frame[0] = previous ? previous[0] + 1 : 0;
    return recurse(frame) + frame[1];
}
#pragma GCC diagnostic pop

KX_MODULE_EXPORT void KX_MODULE_CALL overflowStack(const char16_t* data, const char16_t* config, char16_t* result)
{
    (void)data;
    (void)config;
    result[0] = (char16_t)recurse(0);
}

/* An exception the library raises with a code of its own and nobody handles. */
KX_MODULE_EXPORT void KX_MODULE_CALL raiseUnhandled(const char16_t* data, const char16_t* config, char16_t* result)
{
    (void)data;
    (void)config;
    (void)result;
    RaiseException(0xE0001234u, 0, 0, NULL);
}

#define OWN_CODE 0xE0004321u

static volatile LONG finallyRuns = 0;

#if defined(__i386__)

/* The library's own handler frame: {previous, handler} at fs:[0], then where to resume. */
typedef struct OwnFrame {
    struct OwnFrame* previous;
    void* handler;
    void* resume[5];
    DWORD code;
} OwnFrame;

/* Handles its own raised exception by continuing after RaiseException; handles an access violation
 * by resuming after the faulting statement, as an except block does. */
static EXCEPTION_DISPOSITION __cdecl ownHandler(EXCEPTION_RECORD* exception, void* frame, CONTEXT* context,
                                                void* dispatcher)
{
    (void)context;
    (void)dispatcher;
    OwnFrame* own = (OwnFrame*)frame;
    if (exception->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND))
        return ExceptionContinueSearch;
    own->code = exception->ExceptionCode;
    if (exception->ExceptionCode == OWN_CODE)
        return ExceptionContinueExecution;
    if (exception->ExceptionCode == EXCEPTION_ACCESS_VIOLATION) {
        /* Unwind the frames above this one, then resume in the function that owns the frame.
         * RtlUnwind may change ebx, esi and edi: the frame is read back from memory after it. */
        OwnFrame* volatile saved = own;
        RtlUnwind(frame, 0, exception, 0);
        __builtin_longjmp(saved->resume, 1);
    }
    return ExceptionContinueSearch;
}

static OwnFrame* chainHead(void)
{
    OwnFrame* head;
    __asm__ volatile("movl %%fs:0, %0" : "=r"(head));
    return head;
}

static void setChainHead(OwnFrame* head)
{
    __asm__ volatile("movl %0, %%fs:0" : : "r"(head) : "memory");
}

/* Raises its own exception inside its own handler frame and answers normally. */
KX_MODULE_EXPORT void KX_MODULE_CALL catchOwnRaise(const char16_t* data, const char16_t* config, char16_t* result)
{
    (void)data;
    (void)config;
    volatile OwnFrame frame;
    OwnFrame* own = (OwnFrame*)&frame;
    own->handler = (void*)ownHandler;
    own->previous = chainHead();
    own->code = 0;
    setChainHead(own);
    RaiseException(OWN_CODE, 0, 0, NULL);
    setChainHead(own->previous);
    put(result, own->code == OWN_CODE ? u"{\"caught\":\"raise\"}" : u"{\"caught\":\"nothing\"}");
}

/* Faults inside its own handler frame, catches the fault itself and answers normally. */
KX_MODULE_EXPORT void KX_MODULE_CALL catchOwnFault(const char16_t* data, const char16_t* config, char16_t* result)
{
    (void)data;
    (void)config;
    volatile OwnFrame frame;
    OwnFrame* own = (OwnFrame*)&frame;
    own->handler = (void*)ownHandler;
    own->previous = chainHead();
    own->code = 0;
    if (__builtin_setjmp(own->resume) == 0) {
        setChainHead(own);
        *nowhere = 1;
    }
    own = (OwnFrame*)&frame;
    setChainHead(own->previous);
    put(result, own->code == EXCEPTION_ACCESS_VIOLATION ? u"{\"caught\":\"fault\"}" : u"{\"caught\":\"nothing\"}");
}

/* A termination handler, as a try/finally block installs one: it does nothing for the exception
 * itself and counts the unwinds that pass through its frame. */
static EXCEPTION_DISPOSITION __cdecl finallyHandler(EXCEPTION_RECORD* exception, void* frame, CONTEXT* context,
                                                    void* dispatcher)
{
    (void)frame;
    (void)context;
    (void)dispatcher;
    if (exception->ExceptionFlags & EXCEPTION_UNWINDING)
        InterlockedIncrement(&finallyRuns);
    return ExceptionContinueSearch;
}

/* Faults inside a try/finally of its own that does not handle the fault. */
KX_MODULE_EXPORT void KX_MODULE_CALL faultInsideFinally(const char16_t* data, const char16_t* config,
                                                        char16_t* result)
{
    (void)data;
    (void)config;
    (void)result;
    volatile OwnFrame frame;
    OwnFrame* own = (OwnFrame*)&frame;
    own->handler = (void*)finallyHandler;
    own->previous = chainHead();
    setChainHead(own);
    *nowhere = 1;
    setChainHead(own->previous);
}

#elif defined(__x86_64__)

/* 64-bit: the handlers are scopes in the functions' unwind tables, as a compiler makes them for
 * __try blocks: a filter for an except block, a termination handler for a finally block. The
 * scope runs from the label after KX_SCOPE_BEGIN to the one in KX_SCOPE_END; an except block
 * resumes at its end. A function holding an except scope is noipa: its callers must not count on
 * registers it seems to leave alone, as after an exception it returns with whatever the unwind
 * left in them. */
#define KX_SCOPE_BEGIN(name, handler, target, flags)                                               \
    __asm__ volatile(#name "_begin:\n\t"                                                          \
                     ".seh_handler __C_specific_handler, " flags "\n\t"                           \
                     ".seh_handlerdata\n\t"                                                       \
                     ".long 1\n\t"                                                                \
                     ".rva " #name "_begin, " #name "_end, " #handler "\n\t"                       \
                     target "\n\t"                                                                \
                     ".text\n" ::: "memory")
#define KX_SCOPE_END(name) __asm__ volatile("nop\n" #name "_end:\n\tnop\n" ::: "memory")

/* volatile: written by the filters, which the compiler does not see called. */
static _Thread_local volatile DWORD ownCode;

/* Continues after its own raised exception, as a handler that returns to the raise does. */
__attribute__((used)) static LONG ownRaiseFilter(EXCEPTION_POINTERS* info, void* frame)
{
    (void)frame;
    ownCode = info->ExceptionRecord->ExceptionCode;
    return ownCode == OWN_CODE ? EXCEPTION_CONTINUE_EXECUTION : EXCEPTION_CONTINUE_SEARCH;
}

/* Takes an access violation: the except block runs (at the scope's end). */
__attribute__((used)) static LONG ownFaultFilter(EXCEPTION_POINTERS* info, void* frame)
{
    (void)frame;
    ownCode = info->ExceptionRecord->ExceptionCode;
    return ownCode == EXCEPTION_ACCESS_VIOLATION ? EXCEPTION_EXECUTE_HANDLER : EXCEPTION_CONTINUE_SEARCH;
}

/* A finally block: counts the unwinds that pass through its frame. */
__attribute__((used)) static void ownFinally(BOOLEAN abnormal, void* frame)
{
    (void)frame;
    if (abnormal)
        InterlockedIncrement(&finallyRuns);
}

__attribute__((noipa)) static void raiseInOwnScope(void)
{
    KX_SCOPE_BEGIN(kx_own_raise, ownRaiseFilter, ".rva kx_own_raise_end", "@except");
    RaiseException(OWN_CODE, 0, 0, NULL);
    KX_SCOPE_END(kx_own_raise);
}

__attribute__((noipa)) static void faultInOwnScope(void)
{
    KX_SCOPE_BEGIN(kx_own_fault, ownFaultFilter, ".rva kx_own_fault_end", "@except");
    *nowhere = 1;
    KX_SCOPE_END(kx_own_fault);
}

/* Raises its own exception inside its own handler scope and answers normally. */
KX_MODULE_EXPORT void KX_MODULE_CALL catchOwnRaise(const char16_t* data, const char16_t* config, char16_t* result)
{
    (void)data;
    (void)config;
    ownCode = 0;
    raiseInOwnScope();
    put(result, ownCode == OWN_CODE ? u"{\"caught\":\"raise\"}" : u"{\"caught\":\"nothing\"}");
}

/* Faults inside its own handler scope, catches the fault itself and answers normally. */
KX_MODULE_EXPORT void KX_MODULE_CALL catchOwnFault(const char16_t* data, const char16_t* config, char16_t* result)
{
    (void)data;
    (void)config;
    ownCode = 0;
    faultInOwnScope();
    put(result, ownCode == EXCEPTION_ACCESS_VIOLATION ? u"{\"caught\":\"fault\"}" : u"{\"caught\":\"nothing\"}");
}

/* Faults inside a try/finally of its own that does not handle the fault. */
KX_MODULE_EXPORT void KX_MODULE_CALL faultInsideFinally(const char16_t* data, const char16_t* config,
                                                        char16_t* result)
{
    (void)data;
    (void)config;
    (void)result;
    KX_SCOPE_BEGIN(kx_own_finally, ownFinally, ".long 0", "@except, @unwind");
    *nowhere = 1;
    KX_SCOPE_END(kx_own_finally);
}

#else
#error "The fault module knows 32-bit and 64-bit x86 Windows"
#endif

/* {"finallyRuns":<how many unwinds passed through faultInsideFinally's frame>} */
KX_MODULE_EXPORT void KX_MODULE_CALL finallyCount(const char16_t* data, const char16_t* config, char16_t* result)
{
    (void)data;
    (void)config;
    char text[64];
    const int n = snprintf(text, sizeof text, "{\"finallyRuns\":%ld}", (long)finallyRuns);
    for (int i = 0; i <= n; ++i)
        result[i] = (char16_t)text[i];
}

/* Answers {"data":<data>} so that the stack stays right across many calls. */
KX_MODULE_EXPORT void KX_MODULE_CALL echo(const char16_t* data, const char16_t* config, char16_t* result)
{
    (void)config;
    static const char16_t head[] = u"{\"data\":";
    size_t n = 0;
    while (data[n])
        ++n;
    memcpy(result, head, sizeof head - sizeof(char16_t));
    memcpy(result + 8, data, n * sizeof(char16_t));
    result[8 + n] = u'}';
    result[9 + n] = 0;
}
