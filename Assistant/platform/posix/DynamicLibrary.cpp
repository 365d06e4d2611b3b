#include "platform/DynamicLibrary.h"

#include "platform/PathText.h"

#include <dlfcn.h>
#include <link.h>

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

void* libraryExport(LibraryHandle library, const std::string& name)
{
    if (!library || name.empty() || name.find('\0') != std::string::npos)
        return nullptr;
    void* symbol = dlsym(library, name.c_str());
    if (!symbol)
        return nullptr;
    // dlsym also searches the libraries this one depends on (the C library among them); only
    // the library's own exports may be called by name.
    struct link_map* own = nullptr;
    if (dlinfo(library, RTLD_DI_LINKMAP, &own) != 0 || !own)
        return nullptr;
    Dl_info info{};
    struct link_map* definer = nullptr;
    if (dladdr1(symbol, &info, reinterpret_cast<void**>(&definer), RTLD_DL_LINKMAP) == 0 || definer != own)
        return nullptr;
    return symbol;
}

void releaseLibrary(LibraryHandle library)
{
    if (library)
        dlclose(library);
}

} // namespace kx::platform
