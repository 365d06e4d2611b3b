/* A demo print module in the C form: answers what it was asked to print. */
#include "kestrix_module.h"

#include <string.h>

/* Appends a NUL-terminated UTF-16 text; returns the new end. */
static char16_t* append(char16_t* out, const char16_t* text)
{
    while (*text)
        *out++ = *text++;
    return out;
}

/* Appends a text as a JSON string. */
static char16_t* appendJsonString(char16_t* out, const char16_t* text)
{
    static const char16_t hex[] = u"0123456789abcdef";
    *out++ = u'"';
    for (; *text; ++text) {
        if (*text == u'"' || *text == u'\\') {
            *out++ = u'\\';
            *out++ = *text;
        } else if (*text < 0x20) {
            out = append(out, u"\\u00");
            *out++ = hex[*text >> 4];
            *out++ = hex[*text & 15];
        } else {
            *out++ = *text;
        }
    }
    *out++ = u'"';
    return out;
}

static size_t length(const char16_t* text)
{
    size_t n = 0;
    while (text[n])
        ++n;
    return n;
}

/* {"ret_code":"0","ret_msg":"打印成功","data":"<data>"} */
KX_MODULE_EXPORT void KX_MODULE_CALL printBill(const char16_t* data, const char16_t* config, char16_t* result)
{
    (void)config;
    /* Each unit of data takes at most six units escaped; keep well inside the result buffer. */
    if (length(data) * 6 + 64 > KX_RESULT_UNITS) {
        char16_t* out = append(result, u"{\"ret_code\":\"1\",\"ret_msg\":\"数据过长\"}");
        *out = 0;
        return;
    }
    char16_t* out = append(result, u"{\"ret_code\":\"0\",\"ret_msg\":\"打印成功\",\"data\":");
    out = appendJsonString(out, data);
    out = append(out, u"}");
    *out = 0;
}
