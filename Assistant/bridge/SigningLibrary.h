#pragma once
// The signing library comp/common/ca/libCA.so (CA.dll on Windows) under the program folder, loaded
// once when the process starts and kept for its whole life. Its function doSign has the runtime
// form.
#include <optional>
#include <string>

namespace kx {

// The library's path under the program folder.
std::string signingLibraryPath(const std::string& programFolder);

// Loads the library and finds doSign. False with the reason in `error` when either fails.
// Call once on the main thread before the HTTP service starts.
bool loadSigningLibrary(const std::string& programFolder, std::string& error);

// doSign(request, options): the content of the stream it returns. nullopt when the library is not
// loaded, the call faults or raises, or it returns no object.
std::optional<std::string> callDoSign(const std::string& request, const std::string& options);

} // namespace kx
