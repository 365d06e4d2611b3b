# Cross-compiles for 32-bit Windows, the program users install (module libraries are 32-bit).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KX_MINGW_HOST i686-w64-mingw32)
find_program(KX_WINE wine REQUIRED)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
