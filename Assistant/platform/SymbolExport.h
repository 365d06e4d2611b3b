#pragma once
// KX_EXPORTED marks a function the executable offers to the libraries it loads (found by name at
// run time), in the form the compiler and the executable format need.
#if defined(_WIN32)
#define KX_EXPORTED __declspec(dllexport)
#elif defined(__GNUC__)
#define KX_EXPORTED __attribute__((visibility("default")))
#else
#define KX_EXPORTED
#endif
