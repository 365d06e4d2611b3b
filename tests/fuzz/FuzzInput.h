#pragma once
// Splitting a fuzz input into the parts a target needs: parts are separated by the byte 0x01, and
// missing parts are empty. Also the check that stops a run with a report when a property fails,
// and the oracles' own name comparison (kept apart from the code under test on purpose).
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace kx::fuzz {

inline std::vector<std::string> splitInput(const std::uint8_t* data, std::size_t size, std::size_t parts)
{
    std::vector<std::string> out(parts);
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    for (std::size_t i = 0; i < parts; ++i) {
        const std::size_t sep = i + 1 < parts ? rest.find('\x01') : std::string_view::npos;
        out[i] = std::string(rest.substr(0, sep));
        if (sep == std::string_view::npos)
            break;
        rest.remove_prefix(sep + 1);
    }
    return out;
}

// ASCII letters compared without case.
inline bool sameNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// A failed property is a finding: report it and abort, so libFuzzer keeps the input.
#define KX_FUZZ_CHECK(condition)                                                              \
    do {                                                                                      \
        if (!(condition)) {                                                                   \
            std::fprintf(stderr, "property failed at %s:%d: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                     \
        }                                                                                     \
    } while (false)

} // namespace kx::fuzz
