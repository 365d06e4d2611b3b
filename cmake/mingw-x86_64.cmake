# Cross-compiles the same sources for 64-bit Windows. Used to run the Windows tests on machines
# whose kernel cannot run 32-bit x86 programs (and so no 32-bit Wine); the tests run under
# Debian's 64-bit Wine loader, which the `wine` launcher does not pick while wine32 is installed.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KX_MINGW_HOST x86_64-w64-mingw32)
find_program(KX_WINE NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(KX_WINE NAMES wine64 REQUIRED)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
