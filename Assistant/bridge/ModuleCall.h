#pragma once
// Calls into module library functions in their three forms, each under the fault guard: a
// processor fault or a C++ exception with a message becomes an error with that message; any other
// exception is an escaped failure.
#include "bridge/ModuleResult.h"

#include <cstddef>
#include <string>

namespace kx {

struct CallOutcome {
    enum class Kind { Result, Error, Escaped };
    Kind kind = Kind::Escaped;
    ModuleResult result; // for Result
    std::string message; // for Error

    static CallOutcome success(ModuleResult r) { return {Kind::Result, std::move(r), {}}; }
    static CallOutcome error(std::string m) { return {Kind::Error, {}, std::move(m)}; }
};

// Result buffer sizes in UTF-16 code units.
constexpr std::size_t kResultUnits = std::size_t{1} << 20;
constexpr std::size_t kLargeResultUnits = std::size_t{1} << 25;

// void f(const char16_t* data, const char16_t* config, char16_t* result). The buffer of
// `resultUnits` code units is zero-filled (pages never touched cost no memory); the result is the
// text before the first NUL, empty when the module wrote none. The result stays in the buffer,
// which lives as long as the result does.
CallOutcome callCForm(void* entry, const std::string& data, const std::string& config, std::size_t resultUnits);
// f(const char16_t* params, char16_t* result) with a buffer of kResultUnits code units (kept as
// above).
CallOutcome callAgencyForm(void* entry, const std::string& params);
// The runtime form (RuntimeForm.h); the returned stream's content is the result. A call that
// returns no object is an error.
CallOutcome callRuntimeForm(void* entry, const std::string& data, const std::string& config);

} // namespace kx
