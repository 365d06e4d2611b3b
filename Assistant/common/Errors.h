#pragma once
// The error type that routines raise when a caller (or the HTTP layer's 500 page) must see
// both a class name and a message.
#include <stdexcept>
#include <string>

namespace kx {

class KxError : public std::runtime_error {
public:
    KxError(std::string errorClass, const std::string& message)
        : std::runtime_error(message), errorClass_(std::move(errorClass)) {}
    const std::string& errorClass() const noexcept { return errorClass_; }

private:
    std::string errorClass_;
};

// The class name of any caught exception: KxError's own name, otherwise the demangled C++ type.
std::string errorClassName(const std::exception& e);

} // namespace kx
