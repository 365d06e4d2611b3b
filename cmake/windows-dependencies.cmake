# Dependencies of the 32-bit Windows build, all linked statically so the program folder needs no
# DLLs besides the program's own:
# - libcurl (Schannel), libzip, GoogleTest and libcrypto from the prefix KX_WIN_DEPS that
#   scripts/build-windows.sh cross-builds from Debian's source packages;
# - zlib from Debian's mingw-w64 package;
# - Boost (Beast/Asio) and nlohmann/json, header-only, from the build machine's /usr/include.
# The targets carry the names the Linux build's find modules give them, so the rest of the build
# links the same names on both systems.
set(KX_WIN_DEPS ${CMAKE_SOURCE_DIR}/build-win/deps CACHE PATH
  "Prefix with the cross-built Windows dependencies (scripts/build-windows.sh)")
if(NOT EXISTS ${KX_WIN_DEPS}/lib/libcurl.a)
  message(FATAL_ERROR "No Windows dependencies in ${KX_WIN_DEPS}: run scripts/build-windows.sh "
    "(or set KX_WIN_DEPS to a prefix it built)")
endif()
list(APPEND CMAKE_FIND_ROOT_PATH ${KX_WIN_DEPS})

# The C and C++ runtimes (libgcc, libstdc++, winpthread) go into every executable and DLL.
add_link_options(-static)
# Windows 7 API level for Asio and the platform code; std::min/max stay usable.
add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601 NOMINMAX WIN32_LEAN_AND_MEAN)

# Header-only libraries from the host: only their own folders are put on the include path (the
# host's /usr/include holds glibc headers that must not reach the mingw compiler).
set(KX_HOST_HEADERS ${CMAKE_BINARY_DIR}/host-include)
foreach(dir boost nlohmann)
  if(NOT EXISTS /usr/include/${dir})
    message(FATAL_ERROR "/usr/include/${dir} is missing: scripts/build-windows.sh installs it")
  endif()
  file(MAKE_DIRECTORY ${KX_HOST_HEADERS})
  file(CREATE_LINK /usr/include/${dir} ${KX_HOST_HEADERS}/${dir} SYMBOLIC)
endforeach()
add_library(Boost::headers INTERFACE IMPORTED)
set_target_properties(Boost::headers PROPERTIES
  INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${KX_HOST_HEADERS}
  INTERFACE_INCLUDE_DIRECTORIES ${KX_HOST_HEADERS}
  INTERFACE_LINK_LIBRARIES "ws2_32;mswsock")
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
  INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${KX_HOST_HEADERS}
  INTERFACE_INCLUDE_DIRECTORIES ${KX_HOST_HEADERS})

set(ZLIB_USE_STATIC_LIBS ON)
find_package(ZLIB REQUIRED)
find_package(CURL REQUIRED CONFIG)
find_package(libzip REQUIRED CONFIG)
find_package(GTest REQUIRED CONFIG)
add_library(PkgConfig::LIBZIP INTERFACE IMPORTED)
set_target_properties(PkgConfig::LIBZIP PROPERTIES
  INTERFACE_LINK_LIBRARIES libzip::zip)

add_library(OpenSSL::Crypto STATIC IMPORTED)
set_target_properties(OpenSSL::Crypto PROPERTIES
  IMPORTED_LOCATION ${KX_WIN_DEPS}/lib/libcrypto.a
  INTERFACE_INCLUDE_DIRECTORIES ${KX_WIN_DEPS}/include
  INTERFACE_LINK_LIBRARIES "ws2_32;crypt32;advapi32;user32;bcrypt")
