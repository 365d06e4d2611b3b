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

/* The library's own handler frame: {previous, handler} at fs:[0], then where to resume. */
typedef struct OwnFrame {
    struct OwnFrame* previous;
    void* handler;
    void* resume[5];
    DWORD code;
} OwnFrame;

#define OWN_CODE 0xE0004321u

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

static volatile LONG finallyRuns = 0;

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
