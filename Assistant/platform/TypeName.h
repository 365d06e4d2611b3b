#pragma once
// The readable name of a C++ type, as the compiler's runtime gives it ("std::runtime_error" rather
// than its mangled form), for error pages that name the class of an exception.
#include <string>
#include <typeinfo>

namespace kx::platform {

// The demangled name of type; its raw name when it cannot be demangled.
std::string readableTypeName(const std::type_info& type);

} // namespace kx::platform
