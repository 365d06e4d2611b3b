#include "platform/DynamicLibrary.h"

#include "platform/PathText.h"
#include "platform/win32/WideText.h"

#include <windows.h>

namespace kx::platform {

namespace {

std::wstring nativePath(const std::string& path)
{
    return win32::wideFromUtf8(toNativeSeparators(path));
}

void* exportOf(LibraryHandle library, const char* name)
{
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

} // namespace

// Windows binds every import when a library loads. A library that is not found with the standard
// search is tried once more with the altered search path, so that the libraries it needs are also
// looked for in its own folder.
LibraryHandle loadLibrary(const std::string& path, std::string* error)
{
    const std::wstring wide = nativePath(path);
    HMODULE h = LoadLibraryW(wide.c_str());
    if (!h)
        h = LoadLibraryExW(wide.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!h && error)
        *error = "cannot load " + path + ": " + win32::systemErrorText(GetLastError());
    return h;
}

// GetModuleHandleW without a reference of its own: the Ex form takes one, so the handle stays
// valid until the caller releases it, whatever other threads do meanwhile.
LibraryHandle findLoadedLibrary(const std::string& path)
{
    HMODULE h = nullptr;
    if (path.empty() || !GetModuleHandleExW(0, nativePath(path).c_str(), &h))
        return nullptr;
    return h;
}

void* librarySymbol(LibraryHandle library, const std::string& name)
{
    if (!library || name.empty())
        return nullptr;
    return exportOf(library, name.c_str());
}

// Export names are looked up in the ANSI code page, exactly as given: no decorated or
// case-folded variant is tried. A name that the code page cannot represent names no export.
void* libraryExport(LibraryHandle library, const std::string& name)
{
    if (!library || name.empty() || name.find('\0') != std::string::npos)
        return nullptr;
    if (GetACP() == CP_UTF8) // the ANSI code page is UTF-8 itself (which allows no lossy check)
        return exportOf(library, name.c_str());
    const std::wstring wide = win32::wideFromUtf8(name);
    const int size = static_cast<int>(wide.size());
    BOOL lossy = FALSE;
    // Without best fit, a character the code page lacks counts as lossy instead of turning into a
    // look-alike ("Prőbe" must not find "Probe").
    const int bytes = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), size, nullptr, 0, nullptr, &lossy);
    if (bytes <= 0 || lossy)
        return nullptr;
    std::string ansi(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), size, ansi.data(), bytes, nullptr, &lossy);
    if (lossy)
        return nullptr;
    return exportOf(library, ansi.c_str());
}

void releaseLibrary(LibraryHandle library)
{
    if (library)
        FreeLibrary(static_cast<HMODULE>(library));
}

} // namespace kx::platform
