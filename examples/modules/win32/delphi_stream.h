/*
 * Runtime-form results from C on Windows: TStringStream objects laid out as Delphi 2009 and
 * later lay them out, with the class tables and the encoding objects a caller walks to learn how
 * the stream's bytes are encoded. The offsets given are those of 32-bit Windows, where module
 * libraries live; on 64-bit Windows every pointer-sized slot is twice as wide and the structures
 * below follow by themselves. For module libraries written in C that are called in the runtime
 * form:
 *
 *     KX_MODULE_EXPORT void* KX_MODULE_CALL F(const char16_t* data, const char16_t* config);
 *
 * The arguments are UnicodeStrings: a pointer to the first UTF-16 unit, the length (in units) as
 * a 32-bit integer just before it, a NUL after the text; an empty text arrives as a null pointer.
 * Use kxDelphiLength, never a search for the NUL, as the text may hold NUL units.
 *
 * The caller reads the returned object at once, on the calling thread, and never frees it. The
 * objects made here live until the next call on the same thread, which takes the place of the old
 * one (so a module does not leak one object per call).
 */
#ifndef KX_DELPHI_STREAM_H
#define KX_DELPHI_STREAM_H

#if !defined(_WIN32)
#error "This is the layout of Windows"
#endif

#include <windows.h>

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <uchar.h>

/* The length of a UnicodeString argument (0 for the null pointer of the empty text). */
static inline int32_t kxDelphiLength(const char16_t* text)
{
    return text ? ((const int32_t*)text)[-1] : 0;
}

/* A class table as the caller sees it: the class pointer points at `methods`; the entries before
 * it sit at fixed negative offsets (self pointer -88, class name -56, instance size -52, parent
 * -48). The remaining entries stay null: nobody calls into these objects. */
typedef struct KxDelphiClass {
    const void* self;               /* -88 */
    const void* unused1[7];         /* -84 .. -60 */
    const unsigned char* className; /* -56: short string (length byte, characters) */
    intptr_t instanceSize;          /* -52 */
    const void* const* parent;      /* -48: where the parent's class pointer is kept; null for TObject */
    const void* unused2[11];        /* -44 .. -4 */
    const void* methods[1];         /* 0: the virtual methods */
} KxDelphiClass;

#define KX_DELPHI_CLASS(var, name, size, parentRef)                                                \
    static const KxDelphiClass var = {&var.methods[0], {0}, (const unsigned char*)name, size, parentRef, {0}, {0}}; \
    static const void* const var##Ref = &var.methods[0]

KX_DELPHI_CLASS(kxTObject, "\x07TObject", 4, NULL);
KX_DELPHI_CLASS(kxTEncoding, "\x09TEncoding", 12, &kxTObjectRef);
KX_DELPHI_CLASS(kxTMBCSEncoding, "\x0dTMBCSEncoding", 24, &kxTEncodingRef);
KX_DELPHI_CLASS(kxTUTF7Encoding, "\x0dTUTF7Encoding", 24, &kxTMBCSEncodingRef);
KX_DELPHI_CLASS(kxTUTF8Encoding, "\x0dTUTF8Encoding", 24, &kxTUTF7EncodingRef);
KX_DELPHI_CLASS(kxTUnicodeEncoding, "\x10TUnicodeEncoding", 12, &kxTEncodingRef);
KX_DELPHI_CLASS(kxTBigEndianUnicodeEncoding, "\x19TBigEndianUnicodeEncoding", 12, &kxTUnicodeEncodingRef);
KX_DELPHI_CLASS(kxTStream, "\x07TStream", 4, &kxTObjectRef);
KX_DELPHI_CLASS(kxTCustomMemoryStream, "\x13TCustomMemoryStream", 16, &kxTStreamRef);
KX_DELPHI_CLASS(kxTMemoryStream, "\x0dTMemoryStream", 20, &kxTCustomMemoryStreamRef);
KX_DELPHI_CLASS(kxTBytesStream, "\x0cTBytesStream", 24, &kxTMemoryStreamRef);
KX_DELPHI_CLASS(kxTStringStream, "\x0dTStringStream", 32, &kxTBytesStreamRef);

/* An encoding object: TEncoding's fields (Delphi XE and later), then TMBCSEncoding's. */
typedef struct KxDelphiEncoding {
    const void* cls;
    uint8_t isSingleByte;
    int32_t maxCharSize;
    uint32_t codePage;
    uint32_t toWideFlags;
    uint32_t fromWideFlags;
} KxDelphiEncoding;

/* The runtime's own encodings, one object each, shared by all streams (never freed). */
static const KxDelphiEncoding kxUtf8Encoding = {&kxTUTF8Encoding.methods[0], 0, 4, 65001, 0, 0};
static const KxDelphiEncoding kxUnicodeEncoding = {&kxTUnicodeEncoding.methods[0], 0, 4, 0, 0, 0};
static const KxDelphiEncoding kxBigEndianUnicodeEncoding = {&kxTBigEndianUnicodeEncoding.methods[0], 0, 4, 0, 0, 0};

/* A TMBCSEncoding for a Windows code page (1252, 936, ...), as TEncoding.GetEncoding makes one. */
static inline KxDelphiEncoding kxMbcsEncoding(uint32_t codePage, int singleByte)
{
    KxDelphiEncoding e = {&kxTMBCSEncoding.methods[0], (uint8_t)(singleByte ? 1 : 0), singleByte ? 1 : 2, codePage, 0, 0};
    return e;
}

typedef struct KxDelphiStringStream {
    const void* cls;     /* 0 */
    char* memory;        /* 4 */
    intptr_t size;       /* 8 */
    intptr_t position;   /* 12 */
    intptr_t capacity;   /* 16 */
    void* bytes;         /* 20 */
    const void* encoding; /* 24 */
    uint8_t ownsEncoding; /* 28 */
} KxDelphiStringStream;

/* The calling thread's last object, kept in a thread-local slot of the system's (no dependence on
 * a compiler's thread-local support library). Null when the slot or the memory cannot be had. */
static inline KxDelphiStringStream* kxDelphiThreadStream(void)
{
    static volatile LONG slot = (LONG)TLS_OUT_OF_INDEXES;
    if (slot == (LONG)TLS_OUT_OF_INDEXES) {
        const DWORD mine = TlsAlloc();
        if (mine == TLS_OUT_OF_INDEXES)
            return NULL;
        if (InterlockedCompareExchange(&slot, (LONG)mine, (LONG)TLS_OUT_OF_INDEXES) != (LONG)TLS_OUT_OF_INDEXES)
            TlsFree(mine); /* another thread was first */
    }
    KxDelphiStringStream* s = (KxDelphiStringStream*)TlsGetValue((DWORD)slot);
    if (!s) {
        s = (KxDelphiStringStream*)calloc(1, sizeof *s);
        if (!s || !TlsSetValue((DWORD)slot, s)) {
            free(s);
            return NULL;
        }
    }
    return s;
}

/* A TStringStream holding `size` bytes of `bytes` in `encoding` (any encoding object: one of the
 * above, or one of the caller's own that lives at least as long as the stream). Null when memory
 * runs out. Written as TStringStream.Create(text, encoding) leaves it after writing: the position
 * at the end. */
static inline void* kxDelphiStringStream(const void* bytes, size_t size, const void* encoding)
{
    KxDelphiStringStream* s = kxDelphiThreadStream();
    char* memory = (char*)malloc(size ? size : 1);
    if (!s || !memory) {
        free(memory);
        return NULL;
    }
    memcpy(memory, bytes, size);
    free(s->memory);
    s->cls = &kxTStringStream.methods[0];
    s->memory = memory;
    s->size = (intptr_t)size;
    s->position = (intptr_t)size;
    s->capacity = (intptr_t)size;
    s->bytes = memory;
    s->encoding = encoding;
    s->ownsEncoding = 0;
    return s;
}

/* UTF-16 text (code units) as UTF-8 bytes; returns the number written, at most `room`. */
static inline size_t kxUtf16ToUtf8(const char16_t* text, size_t units, char* out, size_t room)
{
    size_t n = 0;
    for (size_t i = 0; i < units; ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < units && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        char b[4];
        size_t len;
        if (c < 0x80) {
            b[0] = (char)c;
            len = 1;
        } else if (c < 0x800) {
            b[0] = (char)(0xC0 | (c >> 6));
            b[1] = (char)(0x80 | (c & 0x3F));
            len = 2;
        } else if (c < 0x10000) {
            b[0] = (char)(0xE0 | (c >> 12));
            b[1] = (char)(0x80 | ((c >> 6) & 0x3F));
            b[2] = (char)(0x80 | (c & 0x3F));
            len = 3;
        } else {
            b[0] = (char)(0xF0 | (c >> 18));
            b[1] = (char)(0x80 | ((c >> 12) & 0x3F));
            b[2] = (char)(0x80 | ((c >> 6) & 0x3F));
            b[3] = (char)(0x80 | (c & 0x3F));
            len = 4;
        }
        if (n + len > room)
            break;
        memcpy(out + n, b, len);
        n += len;
    }
    return n;
}

#endif /* KX_DELPHI_STREAM_H */
