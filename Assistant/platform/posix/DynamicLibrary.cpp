#include "platform/DynamicLibrary.h"

#include "common/Paths.h"

#include <dlfcn.h>

namespace kx::platform {

LibraryHandle loadLibrary(const std::string& path, std::string* error)
{
    void* h = dlopen(toNativeSeparators(path).c_str(), RTLD_NOW);
    if (!h && error) {
        const char* e = dlerror();
        *error = e ? e : "cannot load " + path;
    }
    return h;
}

LibraryHandle findLoadedLibrary(const std::string& path)
{
    return dlopen(toNativeSeparators(path).c_str(), RTLD_NOW | RTLD_NOLOAD);
}

void* librarySymbol(LibraryHandle library, const std::string& name)
{
    return library ? dlsym(library, name.c_str()) : nullptr;
}

void releaseLibrary(LibraryHandle library)
{
    if (library)
        dlclose(library);
}

} // namespace kx::platform
