/*
 * Kestrix Assistant module libraries: the calling forms a module library exports.
 *
 * A module library is a shared library named in conf/dll.ini under the program folder:
 *
 *   [MODULE-DLLPATH]  name=path of the library, relative to the program folder ("\" or "/")
 *   [MODULE-LANG]     name=c  selects the C form below; any other value (the default "delphi")
 *                     selects the Pascal runtime form (see README.md beside this file)
 *
 * The assistant calls one exported function per request; its export name comes from the page
 * ("func", or "Method" at the agency endpoint).
 *
 * Texts are UTF-16 (char16_t), NUL-terminated. The caller owns every argument: do not change or
 * free them, and copy what you want to keep after the call returns.
 *
 * C form: void f(const char16_t* data, const char16_t* config, char16_t* result)
 *   data    the first element of the request's "data" array as compact JSON, "{}" when absent
 *           (at /camera and /smart-card: a string element arrives bare, without quotation marks)
 *   config  {"appId":"...","appFileDir":"<program folder>"}, "{}" when the request has no appId
 *   result  a buffer of KX_RESULT_UNITS code units (KX_LARGE_RESULT_UNITS, zero-filled, at
 *           /camera and /smart-card). Write a JSON object text, or nothing, and end it with a NUL:
 *           a buffer without a NUL counts as an empty result; anything other than a JSON object
 *           makes the page's request fail.
 *
 * Agency form (/NontaxAgencyActuator): void f(const char16_t* params, char16_t* result)
 *   params  the page's parameter text; result: KX_RESULT_UNITS code units, any text, NUL-ended.
 *
 * Threads: calls arrive on many threads at once, for the same function too, under no lock.
 * Keep no unguarded shared state.
 *
 * Failures: a processor fault (invalid memory access, division by zero, illegal instruction) on
 * the calling thread is reported to the page with code "2001" and the library stays loaded,
 * although its own state may be damaged. On Linux an exception derived from std::exception that
 * leaves a C++ function is reported the same way with its message, and any other exception makes
 * the assistant drop the library from its list and release it (it is loaded again by the next
 * request). Catch your own errors and answer with a JSON error object instead; on Windows let no
 * exception leave an exported function.
 *
 * Windows: the assistant is a 32-bit program, so module libraries are 32-bit DLLs. Every exported
 * function uses __stdcall (declare it KX_MODULE_EXPORT void KX_MODULE_CALL name(...)) and is
 * exported under its plain name, exactly as the page gives it: link with -Wl,--kill-at (MinGW) or
 * list the names in a .def file, so that no "_name@12" decoration remains. The DLL's own folder is searched first
 * for the libraries it needs, so they may lie beside it; paths may hold Chinese characters and
 * blanks.
 *
 * Linux: libraries the module needs next to itself: link the module with an rpath of $ORIGIN.
 */
#ifndef KESTRIX_MODULE_H
#define KESTRIX_MODULE_H

#ifdef __cplusplus
#define KX_MODULE_EXTERN extern "C"
#else
#include <uchar.h>
#define KX_MODULE_EXTERN
#endif

#if defined(_WIN32)
#define KX_MODULE_CALL __stdcall
#define KX_MODULE_EXPORT KX_MODULE_EXTERN __declspec(dllexport)
#else
#define KX_MODULE_CALL
#define KX_MODULE_EXPORT KX_MODULE_EXTERN __attribute__((visibility("default")))
#endif

/* Result buffer sizes in UTF-16 code units. */
#define KX_RESULT_UNITS (1u << 20)
#define KX_LARGE_RESULT_UNITS (1u << 25)

typedef void(KX_MODULE_CALL* kx_module_function)(const char16_t* data, const char16_t* config, char16_t* result);
typedef void(KX_MODULE_CALL* kx_agency_function)(const char16_t* params, char16_t* result);

/* ------------------------------------------------------------------------------------------------
 * Loading overlay
 *
 * While a module library does long-running work inside the client, it can show the client's
 * "正在努力加载中" overlay in the bottom-right corner of the screen. The client counts open
 * loading requests: the overlay appears with the first KX_WM_LOADING_SHOW and goes when as many
 * KX_WM_LOADING_HIDE have arrived (surplus hides are harmless; the count never drops below 0).
 * Always pair each show with one hide, also on error paths. The client's main window has the
 * class "TfrmMain" and the title "Kestrix客户端助手" (KX_MAIN_WINDOW_CLASS, KX_MAIN_WINDOW_TITLE).
 *
 * Windows: the main window is a real (hidden) window; find it and send it the messages with the
 * system's own calls, from any thread:
 *
 *     HWND w = FindWindowW(KX_MAIN_WINDOW_CLASS, KX_MAIN_WINDOW_TITLE);
 *     if (w) SendMessageW(w, KX_WM_LOADING_SHOW, 0, 0);   (or PostMessageW: returns at once)
 *     ... work ...
 *     if (w) SendMessageW(w, KX_WM_LOADING_HIDE, 0, 0);
 *
 * Linux: there is no system window to find. The functions below are exported by the client's
 * executable; a module library loaded into the client resolves them at load time (declare them
 * and link with undefined symbols allowed, or look them up with
 * dlsym(RTLD_DEFAULT, "KxFindMainWindow")). They may be called from any thread.
 *
 *     uintptr_t w = KxFindMainWindow();
 *     KxSendMessage(w, KX_WM_LOADING_SHOW, 0, 0);
 *     ... work ...
 *     KxSendMessage(w, KX_WM_LOADING_HIDE, 0, 0);
 * --------------------------------------------------------------------------------------------- */

#include <stdint.h>

#define KX_WM_LOADING_SHOW 0x1403u /* a loading request begins */
#define KX_WM_LOADING_HIDE 0x1404u /* a loading request ends */

#if defined(_WIN32)

#define KX_MAIN_WINDOW_CLASS L"TfrmMain"
#define KX_MAIN_WINDOW_TITLE L"Kestrix\u5ba2\u6237\u7aef\u52a9\u624b" /* Kestrix客户端助手 */

#else

#define KX_MAIN_WINDOW_CLASS "TfrmMain"
#define KX_MAIN_WINDOW_TITLE "Kestrix客户端助手"

#ifdef __cplusplus
extern "C" {
#endif

/* The client's main window (class "TfrmMain", title "Kestrix客户端助手"); 0 when it does not exist. */
uintptr_t KxFindMainWindow(void);

/* Delivers a loading message to the window and waits until the client has handled it.
 * wParam and lParam are not used (pass 0). Gives 0 when handled (also when the window does not
 * exist) and -1 for a message other than the two loading messages, which is not delivered. */
intptr_t KxSendMessage(uintptr_t window, unsigned message, uintptr_t wParam, intptr_t lParam);

/* Queues a loading message for the window and returns at once. Gives 1 when queued, 0 when the
 * window does not exist or the message is not one of the two loading messages. */
int KxPostMessage(uintptr_t window, unsigned message, uintptr_t wParam, intptr_t lParam);

#ifdef __cplusplus
}
#endif

#endif /* _WIN32 */

#endif /* KESTRIX_MODULE_H */
