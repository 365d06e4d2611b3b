/* A C-form module library for the end-to-end test of the Windows program: an echo of both texts
 * it receives, a call that faults, and a call that finds the client's main window as module
 * libraries do and sends it the loading messages. Exported stdcall under plain names (--kill-at). */
#include "kestrix_module.h"

#include <windows.h>

#include <stdio.h>
#include <string.h>

/* Appends text as a JSON string (quotation marks, backslashes and control characters escaped). */
static char16_t* putJsonString(char16_t* out, const char16_t* text)
{
    static const char16_t hex[] = u"0123456789abcdef";
    *out++ = u'"';
    for (const char16_t* p = text; *p; ++p) {
        if (*p == u'"' || *p == u'\\') {
            *out++ = u'\\';
            *out++ = *p;
        } else if (*p < 0x20) {
            *out++ = u'\\';
            *out++ = u'u';
            *out++ = u'0';
            *out++ = u'0';
            *out++ = hex[*p >> 4];
            *out++ = hex[*p & 15];
        } else {
            *out++ = *p;
        }
    }
    *out++ = u'"';
    return out;
}

static char16_t* putText(char16_t* out, const char16_t* text)
{
    size_t n = 0;
    while (text[n])
        ++n;
    memcpy(out, text, n * sizeof(char16_t));
    return out + n;
}

/* {"data":"<data>","config":"<config>"}: both texts exactly as received. */
KX_MODULE_EXPORT void KX_MODULE_CALL echo(const char16_t* data, const char16_t* config, char16_t* result)
{
    char16_t* out = putText(result, u"{\"data\":");
    out = putJsonString(out, data);
    out = putText(out, u",\"config\":");
    out = putJsonString(out, config);
    out = putText(out, u"}");
    *out = 0;
}

/* Writes through a null pointer: an access violation inside the call. */
KX_MODULE_EXPORT void KX_MODULE_CALL crash(const char16_t* data, const char16_t* config, char16_t* result)
{
    (void)data;
    (void)config;
    (void)result;
    volatile int* nowhere = 0;
    *nowhere = 1;
}

/* {"found":true|false,"visible":..,"show":..,"hide":..,"posted":..}: whether FindWindowW finds the
 * main window by class and title, whether it is visible, what SendMessageW of KX_WM_LOADING_SHOW
 * and KX_WM_LOADING_HIDE gave back, and whether PostMessageW of a hide was queued. */
KX_MODULE_EXPORT void KX_MODULE_CALL mainWindow(const char16_t* data, const char16_t* config, char16_t* result)
{
    (void)data;
    (void)config;
    HWND w = FindWindowW(KX_MAIN_WINDOW_CLASS, KX_MAIN_WINDOW_TITLE);
    char text[160];
    if (!w) {
        snprintf(text, sizeof text, "{\"found\":false}");
    } else {
        const LRESULT shown = SendMessageW(w, KX_WM_LOADING_SHOW, 0, 0);
        const LRESULT hidden = SendMessageW(w, KX_WM_LOADING_HIDE, 0, 0);
        const BOOL posted = PostMessageW(w, KX_WM_LOADING_HIDE, 0, 0);
        snprintf(text, sizeof text, "{\"found\":true,\"visible\":%s,\"show\":%ld,\"hide\":%ld,\"posted\":%s}",
                 IsWindowVisible(w) ? "true" : "false", (long)shown, (long)hidden, posted ? "true" : "false");
    }
    size_t i = 0;
    for (; text[i]; ++i)
        result[i] = (char16_t)(unsigned char)text[i];
    result[i] = 0;
}

/* Sends the main window one loading message, as a module does around long work: message is
 * KX_WM_LOADING_SHOW or KX_WM_LOADING_HIDE. The result is {"sent":true} or {"sent":false} when the
 * main window was not found. */
static void sendLoading(UINT message, char16_t* result)
{
    HWND w = FindWindowW(KX_MAIN_WINDOW_CLASS, KX_MAIN_WINDOW_TITLE);
    if (w)
        SendMessageW(w, message, 0, 0);
    *putText(result, w ? u"{\"sent\":true}" : u"{\"sent\":false}") = 0;
}

KX_MODULE_EXPORT void KX_MODULE_CALL loadingShow(const char16_t* data, const char16_t* config, char16_t* result)
{
    (void)data;
    (void)config;
    sendLoading(KX_WM_LOADING_SHOW, result);
}

KX_MODULE_EXPORT void KX_MODULE_CALL loadingHide(const char16_t* data, const char16_t* config, char16_t* result)
{
    (void)data;
    (void)config;
    sendLoading(KX_WM_LOADING_HIDE, result);
}
