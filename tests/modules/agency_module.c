/* An agency-form module library for the tests. */
#include "kestrix_module.h"

#include <string.h>

static void put(char16_t* result, const char16_t* text)
{
    size_t n = 0;
    while (text[n])
        ++n;
    memcpy(result, text, (n + 1) * sizeof(char16_t));
}

/* The parameter text, unchanged. */
KX_MODULE_EXPORT void echoParams(const char16_t* params, char16_t* result) { put(result, params); }

/* A non-ASCII answer longer than 57 bytes of UTF-8. */
KX_MODULE_EXPORT void longAnswer(const char16_t* params, char16_t* result)
{
    (void)params;
    put(result, u"非税代理接口返回的结果文本：缴款成功，票据号码 0123456789，金额 100.00 元。");
}

KX_MODULE_EXPORT void crash(const char16_t* params, char16_t* result)
{
    (void)params;
    (void)result;
    volatile int* nowhere = 0;
    *nowhere = 1;
}
