#include "platform/TypeName.h"

#include <cxxabi.h>
#include <cstdlib>
#include <memory>

namespace kx::platform {

// GCC and Clang use the same C++ runtime names on Linux and on Windows (mingw), so one demangler
// reads them everywhere.
std::string readableTypeName(const std::type_info& type)
{
    const char* mangled = type.name();
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> demangled(
        abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
    return status == 0 && demangled ? std::string(demangled.get()) : std::string(mangled);
}

} // namespace kx::platform
