/* A demo module in the runtime form for 32-bit Windows, written in C: answers with the texts it
 * got, in a TStringStream laid out as a Delphi library returns one (delphi_stream.h, beside this
 * file). Build:
 *   i686-w64-mingw32-gcc -O2 -shared -Wl,--kill-at -I<sdk> -o pd.dll demo_pd.c
 * and name it in conf\dll.ini: [MODULE-DLLPATH] pd=comp\pd\pd.dll (no MODULE-LANG entry, or any
 * value other than "c"). */
#include "kestrix_module.h"

#include "delphi_stream.h"

static const char kHead[] = "{\"ret_code\":\"0\",\"ret_msg\":\"处理成功\",\"data\":";
static const char kMiddle[] = ",\"config\":";
static const char kFailed[] = "{\"ret_code\":\"1\",\"ret_msg\":\"处理失败\"}";

/* data and config are JSON object texts; the answer is a JSON object text. The caller reads the
 * returned stream and never frees it. */
KX_MODULE_EXPORT void* KX_MODULE_CALL Describe(const char16_t* data, const char16_t* config)
{
    const size_t dataUnits = (size_t)kxDelphiLength(data);
    const size_t configUnits = (size_t)kxDelphiLength(config);
    /* At most 3 UTF-8 bytes per UTF-16 unit. */
    const size_t room = sizeof kHead + sizeof kMiddle + 3 * (dataUnits + configUnits) + 2;
    char* text = (char*)malloc(room);
    if (!text)
        return kxDelphiStringStream(kFailed, sizeof kFailed - 1, &kxUtf8Encoding);
    size_t n = 0;
    memcpy(text, kHead, sizeof kHead - 1);
    n += sizeof kHead - 1;
    n += kxUtf16ToUtf8(data, dataUnits, text + n, room - n);
    memcpy(text + n, kMiddle, sizeof kMiddle - 1);
    n += sizeof kMiddle - 1;
    n += kxUtf16ToUtf8(config, configUnits, text + n, room - n);
    text[n++] = '}';
    void* stream = kxDelphiStringStream(text, n, &kxUtf8Encoding);
    free(text);
    return stream;
}
