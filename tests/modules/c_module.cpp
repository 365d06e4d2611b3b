// A C-form module library for the tests: echoes, results of every shape, a fault, exceptions,
// a slow call and a large result.
#include "kestrix_module.h"

#include <chrono>
#include <dlfcn.h>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

std::u16string jsonString(const char16_t* text)
{
    std::u16string out = u"\"";
    for (const char16_t* p = text; *p; ++p) {
        if (*p == u'"' || *p == u'\\') {
            out += u'\\';
            out += *p;
        } else if (*p < 0x20) {
            static const char16_t hex[] = u"0123456789abcdef";
            out += u"\\u00";
            out += hex[*p >> 4];
            out += hex[*p & 15];
        } else {
            out += *p;
        }
    }
    return out + u"\"";
}

void put(char16_t* result, const std::u16string& text)
{
    std::memcpy(result, text.c_str(), (text.size() + 1) * sizeof(char16_t));
}

int numberIn(const char16_t* text)
{
    int n = 0;
    for (const char16_t* p = text; *p; ++p)
        if (*p >= u'0' && *p <= u'9')
            n = n * 10 + (*p - u'0');
    return n;
}

} // namespace

// {"data":"<data>","config":"<config>"}: both texts exactly as received.
KX_MODULE_EXPORT void echo(const char16_t* data, const char16_t* config, char16_t* result)
{
    put(result, u"{\"data\":" + jsonString(data) + u",\"config\":" + jsonString(config) + u"}");
}

KX_MODULE_EXPORT void answer(const char16_t*, const char16_t*, char16_t* result) { put(result, u"{\"a\":1}"); }
KX_MODULE_EXPORT void hello(const char16_t*, const char16_t*, char16_t* result) { put(result, u"{}"); }
KX_MODULE_EXPORT void nothing(const char16_t*, const char16_t*, char16_t*) {}
KX_MODULE_EXPORT void array(const char16_t*, const char16_t*, char16_t* result) { put(result, u"[1,2]"); }
KX_MODULE_EXPORT void plain(const char16_t*, const char16_t*, char16_t* result) { put(result, u"plain text"); }

// Fills the whole standard buffer without a terminating NUL.
KX_MODULE_EXPORT void fill(const char16_t*, const char16_t*, char16_t* result)
{
    for (unsigned i = 0; i < KX_RESULT_UNITS; ++i)
        result[i] = u'x';
}

KX_MODULE_EXPORT void crash(const char16_t*, const char16_t*, char16_t*)
{
    volatile int* nowhere = nullptr;
    *nowhere = 1;
}

KX_MODULE_EXPORT void divide(const char16_t* data, const char16_t*, char16_t* result)
{
    volatile int zero = numberIn(data) * 0;
    volatile int n = 7 / zero;
    put(result, n ? u"{}" : u"{}");
}

KX_MODULE_EXPORT void fail(const char16_t*, const char16_t*, char16_t*)
{
    throw std::runtime_error("模块内部错误 disk full");
}

KX_MODULE_EXPORT void failOddly(const char16_t*, const char16_t*, char16_t*)
{
    throw 42;
}

// Waits the number of milliseconds found in data (200 when none), then echoes.
KX_MODULE_EXPORT void slow(const char16_t* data, const char16_t* config, char16_t* result)
{
    const int ms = numberIn(data);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms ? ms : 200));
    echo(data, config, result);
}

// {"blob":"xxx..."} of about as many MiB as the number in data (1 when none).
KX_MODULE_EXPORT void big(const char16_t* data, const char16_t*, char16_t* result)
{
    int mib = numberIn(data);
    if (mib <= 0)
        mib = 1;
    std::size_t n = static_cast<std::size_t>(mib) << 20;
    if (n + 16 > KX_LARGE_RESULT_UNITS)
        n = KX_LARGE_RESULT_UNITS - 16;
    char16_t* p = result;
    for (const char16_t* h = u"{\"blob\":\""; *h; ++h)
        *p++ = *h;
    for (std::size_t i = 0; i < n; ++i)
        *p++ = u'x';
    *p++ = u'"';
    *p++ = u'}';
    *p = 0;
}

// Shows and hides the client's loading overlay through the functions the client exports, after
// waiting the milliseconds found in data (500 when none), then echoes.
KX_MODULE_EXPORT void loadingAfterWait(const char16_t* data, const char16_t* config, char16_t* result)
{
    const int ms = numberIn(data);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms ? ms : 500));
    using Find = uintptr_t (*)();
    using Send = intptr_t (*)(uintptr_t, unsigned, uintptr_t, intptr_t);
    auto find = reinterpret_cast<Find>(dlsym(RTLD_DEFAULT, "KxFindMainWindow"));
    auto send = reinterpret_cast<Send>(dlsym(RTLD_DEFAULT, "KxSendMessage"));
    if (find && send) {
        const uintptr_t window = find();
        send(window, KX_WM_LOADING_SHOW, 0, 0);
        send(window, KX_WM_LOADING_HIDE, 0, 0);
    }
    echo(data, config, result);
}
