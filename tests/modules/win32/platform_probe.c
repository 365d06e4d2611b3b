/* A small library for the tests of library loading on Windows: stdcall exports with plain names,
   and one function that only a library it depends on defines (GetTickCount, imported here). */
#include <windows.h>

__declspec(dllexport) int __stdcall ProbeAdd(int a, int b)
{
    return a + b;
}

__declspec(dllexport) DWORD __stdcall ProbeTicks(void)
{
    return GetTickCount();
}
