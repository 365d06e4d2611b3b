/* A runtime-form module library for the Windows tests, with results laid out as a 32-bit Delphi
 * library makes them: each function answers in one of the runtime's encodings, or gives one of the
 * results a caller must cope with (an empty stream, no object, an object that cannot be read, a
 * fault). */
#include "kestrix_module.h"

#include "../../../examples/modules/win32/delphi_stream.h"

#include <stdio.h>

typedef void* result_t;

/* {"data":<data>,"config":<config>} in UTF-8 (texts arrive as JSON objects). */
static size_t echoText(const char16_t* data, const char16_t* config, char* out, size_t room)
{
    size_t n = 0;
    n += (size_t)snprintf(out + n, room - n, "{\"data\":");
    n += kxUtf16ToUtf8(data, (size_t)kxDelphiLength(data), out + n, room - n);
    n += (size_t)snprintf(out + n, room - n, ",\"config\":");
    n += kxUtf16ToUtf8(config, (size_t)kxDelphiLength(config), out + n, room - n);
    n += (size_t)snprintf(out + n, room - n, "}");
    return n;
}

KX_MODULE_EXPORT result_t KX_MODULE_CALL echoUtf8(const char16_t* data, const char16_t* config)
{
    char text[4096];
    const size_t n = echoText(data, config, text, sizeof text);
    return kxDelphiStringStream(text, n, &kxUtf8Encoding);
}

/* The echo as UTF-16 in either byte order. */
static result_t echoUtf16(const char16_t* data, const char16_t* config, const KxDelphiEncoding* encoding, int bigEndian)
{
    char text[4096];
    char16_t units[4096];
    const size_t n = echoText(data, config, text, sizeof text);
    size_t u = 0;
    for (size_t i = 0; i < n;) { /* the echo is ASCII apart from the texts, decoded back here */
        unsigned char c = (unsigned char)text[i];
        uint32_t cp;
        size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        cp = len == 1 ? c : len == 2 ? (c & 0x1Fu) : len == 3 ? (c & 0x0Fu) : (c & 0x07u);
        for (size_t k = 1; k < len; ++k)
            cp = (cp << 6) | ((unsigned char)text[i + k] & 0x3Fu);
        i += len;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            units[u++] = (char16_t)(0xD800 + (cp >> 10));
            units[u++] = (char16_t)(0xDC00 + (cp & 0x3FF));
        } else {
            units[u++] = (char16_t)cp;
        }
    }
    if (bigEndian)
        for (size_t i = 0; i < u; ++i)
            units[i] = (char16_t)((units[i] >> 8) | (units[i] << 8));
    return kxDelphiStringStream(units, u * sizeof(char16_t), encoding);
}

KX_MODULE_EXPORT result_t KX_MODULE_CALL echoUtf16Le(const char16_t* data, const char16_t* config)
{
    return echoUtf16(data, config, &kxUnicodeEncoding, 0);
}

KX_MODULE_EXPORT result_t KX_MODULE_CALL echoUtf16Be(const char16_t* data, const char16_t* config)
{
    return echoUtf16(data, config, &kxBigEndianUnicodeEncoding, 1);
}

/* {"text":"café €"} in code page 1252 (é = E9, € = 80, which ISO-8859-1 does not have). */
static const char kAnsi1252[] = "{\"text\":\"caf\xE9 \x80\"}";

KX_MODULE_EXPORT result_t KX_MODULE_CALL answerAnsi(const char16_t* data, const char16_t* config)
{
    (void)data;
    (void)config;
    static KxDelphiEncoding ansi; /* the same object on every call, as TEncoding.Default is */
    ansi = kxMbcsEncoding(1252, 1);
    return kxDelphiStringStream(kAnsi1252, sizeof kAnsi1252 - 1, &ansi);
}

/* The same with the encoding object of Delphi 2009 and 2010: the code page directly after the
 * class pointer. */
KX_MODULE_EXPORT result_t KX_MODULE_CALL answerAnsiEarly(const char16_t* data, const char16_t* config)
{
    (void)data;
    (void)config;
    static struct {
        const void* cls;
        uint32_t codePage, toWideFlags, fromWideFlags;
    } early;
    early.cls = &kxTMBCSEncoding.methods[0];
    early.codePage = 1252;
    return kxDelphiStringStream(kAnsi1252, sizeof kAnsi1252 - 1, &early);
}

/* {"text":"中文"} in code page 936. */
KX_MODULE_EXPORT result_t KX_MODULE_CALL answerGbk(const char16_t* data, const char16_t* config)
{
    (void)data;
    (void)config;
    static const char gbk[] = "{\"text\":\"\xD6\xD0\xCE\xC4\"}";
    static KxDelphiEncoding encoding;
    encoding = kxMbcsEncoding(936, 0);
    return kxDelphiStringStream(gbk, sizeof gbk - 1, &encoding);
}

/* {"text":"café"} in the system's ANSI code page, with an encoding that names code page 0 (the
 * runtime's TEncoding.Default where the system's code page is meant). */
KX_MODULE_EXPORT result_t KX_MODULE_CALL answerSystemAnsi(const char16_t* data, const char16_t* config)
{
    (void)data;
    (void)config;
    static const wchar_t text[] = L"{\"text\":\"caf\u00e9\"}";
    static char bytes[64];
    const int size = WideCharToMultiByte(CP_ACP, 0, text, -1, bytes, sizeof bytes, NULL, NULL);
    static KxDelphiEncoding encoding;
    encoding = kxMbcsEncoding(0, GetACP() == 1252 ? 1 : 0);
    return kxDelphiStringStream(bytes, size > 0 ? (size_t)size - 1 : 0, &encoding);
}

/* The UnicodeString headers of both arguments: code page, element size, reference count, length,
 * and whether a NUL follows the text ("null" for a null pointer). */
static size_t describeArgument(const char* name, const char16_t* text, char* out, size_t room)
{
    if (!text)
        return (size_t)snprintf(out, room, "\"%s\":null", name);
    const unsigned char* base = (const unsigned char*)text - 12;
    uint16_t codePage, elementSize;
    int32_t refCount, length;
    memcpy(&codePage, base, 2);
    memcpy(&elementSize, base + 2, 2);
    memcpy(&refCount, base + 4, 4);
    memcpy(&length, base + 8, 4);
    return (size_t)snprintf(out, room, "\"%s\":[%u,%u,%ld,%ld,%d]", name, codePage, elementSize, (long)refCount,
                            (long)length, text[length] == 0);
}

KX_MODULE_EXPORT result_t KX_MODULE_CALL inspectArguments(const char16_t* data, const char16_t* config)
{
    char text[256];
    size_t n = (size_t)snprintf(text, sizeof text, "{");
    n += describeArgument("data", data, text + n, sizeof text - n);
    n += (size_t)snprintf(text + n, sizeof text - n, ",");
    n += describeArgument("config", config, text + n, sizeof text - n);
    n += (size_t)snprintf(text + n, sizeof text - n, "}");
    return kxDelphiStringStream(text, n, &kxUtf8Encoding);
}

KX_MODULE_EXPORT result_t KX_MODULE_CALL emptyResult(const char16_t* data, const char16_t* config)
{
    (void)data;
    (void)config;
    return kxDelphiStringStream("", 0, &kxUtf8Encoding);
}

KX_MODULE_EXPORT result_t KX_MODULE_CALL noObject(const char16_t* data, const char16_t* config)
{
    (void)data;
    (void)config;
    return NULL;
}

/* A stream whose size is negative. */
KX_MODULE_EXPORT result_t KX_MODULE_CALL negativeSize(const char16_t* data, const char16_t* config)
{
    (void)data;
    (void)config;
    KxDelphiStringStream* s = (KxDelphiStringStream*)kxDelphiStringStream("{}", 2, &kxUtf8Encoding);
    if (s)
        s->size = -5;
    return s;
}

/* Not an object at all: its "class pointer" and fields point nowhere. */
KX_MODULE_EXPORT result_t KX_MODULE_CALL wildObject(const char16_t* data, const char16_t* config)
{
    (void)data;
    (void)config;
    static const uintptr_t wild[8] = {16, 16, 64, 0, 0, 0, 32, 0};
    return (void*)wild;
}

static int* volatile nowhere = 0;

KX_MODULE_EXPORT result_t KX_MODULE_CALL writeNull(const char16_t* data, const char16_t* config)
{
    (void)data;
    (void)config;
    *nowhere = 1;
    return NULL;
}
