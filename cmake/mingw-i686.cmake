# Cross-compiles for 32-bit Windows with Debian's mingw-w64 (posix thread model, for std::thread)
# and runs the test executables through Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(KX_MINGW_HOST i686-w64-mingw32)
set(CMAKE_C_COMPILER ${KX_MINGW_HOST}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KX_MINGW_HOST}-g++-posix)
set(CMAKE_RC_COMPILER ${KX_MINGW_HOST}-windres)
set(CMAKE_AR ${KX_MINGW_HOST}-ar CACHE FILEPATH "archiver")
set(CMAKE_RANLIB ${KX_MINGW_HOST}-ranlib CACHE FILEPATH "ranlib")

# Libraries and headers of the target come from the mingw sysroot and the dependency prefix
# (added by the project as CMAKE_PREFIX_PATH); programs run on the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${KX_MINGW_HOST})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(KX_WINE wine REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${KX_WINE})
