/* A C-form module library for the end-to-end test of the Windows program: an echo of both texts
 * it receives, and a call that faults. Exported stdcall under plain names (--kill-at). */
#include "kestrix_module.h"

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
