#pragma once
// The calling convention of functions exported by outside libraries (module libraries, the signing
// library). On 32-bit x86 Windows they are stdcall: the callee removes its arguments from the
// stack, so a caller that assumed otherwise would lose its stack pointer. Elsewhere the platform's
// one C convention applies. Decided from the compiler's own predefined macros; no OS header.
#if defined(_WIN32) && defined(__i386__)
#define KX_LIBRARY_CALL __attribute__((stdcall))
#else
#define KX_LIBRARY_CALL
#endif
