#pragma once
// Conventions of the outside libraries the program loads (module libraries, the signing library)
// on the platform being built for, decided from the compiler's own predefined macros (no OS
// header):
// - KX_LIBRARY_CALL, the calling convention of their exported functions. On 32-bit x86 Windows
//   they are stdcall: the callee removes its arguments from the stack, so a caller that assumed
//   otherwise would lose its stack pointer. Elsewhere the platform's one C convention applies.
// - KX_LIBRARY_FILE("CA"), the file name of a library: CA.dll on Windows, libCA.so elsewhere.
#if defined(_WIN32) && defined(__i386__)
#define KX_LIBRARY_CALL __attribute__((stdcall))
#else
#define KX_LIBRARY_CALL
#endif

#if defined(_WIN32)
#define KX_LIBRARY_FILE(stem) stem ".dll"
#else
#define KX_LIBRARY_FILE(stem) "lib" stem ".so"
#endif
