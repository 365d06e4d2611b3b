/* A demo signing library for 32-bit Windows, written in C: doSign answers a made-up signature of
 * the signing request, in a TStringStream laid out as a Delphi library returns one
 * (delphi_stream.h, beside this file). The assistant loads it from comp\common\ca\CA.dll when it
 * starts. Build:
 *   i686-w64-mingw32-gcc -O2 -shared -Wl,--kill-at -I<sdk> -o CA.dll demo_ca.c */
#include "kestrix_module.h"

#include "delphi_stream.h"

#include <stdio.h>

KX_MODULE_EXPORT void* KX_MODULE_CALL doSign(const char16_t* request, const char16_t* options)
{
    (void)options;
    const int32_t units = kxDelphiLength(request);
    uint32_t sum = 0;
    for (int32_t i = 0; i < units; ++i)
        sum = sum * 31u + request[i];
    char text[128];
    const int n = snprintf(text, sizeof text, "{\"ret_code\":\"0\",\"ret_msg\":\"签名成功\",\"signData\":\"%08lX\"}",
                           (unsigned long)sum);
    return kxDelphiStringStream(text, (size_t)n, &kxUtf8Encoding);
}
