#pragma once
// Loading shared libraries. "\" in a path is a separator.
#include <string>

namespace kx::platform {

using LibraryHandle = void*;

// Loads the library (resolving every symbol now); nullptr on failure, with the reason in *error.
LibraryHandle loadLibrary(const std::string& path, std::string* error = nullptr);
// The handle of the library when it is already loaded into the process, without loading it;
// the caller owns one reference on it (releaseLibrary). nullptr when not loaded.
LibraryHandle findLoadedLibrary(const std::string& path);
void* librarySymbol(LibraryHandle library, const std::string& name);
// A symbol that the library itself defines and exports, like GetProcAddress: nullptr for an empty
// name, an unknown name, or a name that only a library it depends on defines.
void* libraryExport(LibraryHandle library, const std::string& name);
void releaseLibrary(LibraryHandle library);

} // namespace kx::platform
