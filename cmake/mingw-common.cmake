# Shared part of the mingw-w64 toolchain files: the caller sets KX_MINGW_HOST (the target triplet)
# and CMAKE_SYSTEM_PROCESSOR first. Debian's mingw-w64 with the posix thread model (for
# std::thread); test executables run through Wine (KX_WINE).
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${KX_MINGW_HOST}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KX_MINGW_HOST}-g++-posix)
set(CMAKE_RC_COMPILER ${KX_MINGW_HOST}-windres)
set(CMAKE_AR ${KX_MINGW_HOST}-ar CACHE FILEPATH "archiver")
set(CMAKE_RANLIB ${KX_MINGW_HOST}-ranlib CACHE FILEPATH "ranlib")
set(KX_OBJDUMP ${KX_MINGW_HOST}-objdump)

# Libraries and headers of the target come from the mingw sysroot and the dependency prefix
# (added by the project as CMAKE_PREFIX_PATH); programs run on the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${KX_MINGW_HOST})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR ${KX_WINE})
