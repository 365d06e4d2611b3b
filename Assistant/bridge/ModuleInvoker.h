#pragma once
// The road from a business request to a module library: derive the module's config and data
// texts, find or load the library named in conf/dll.ini, list it in the module handle list, look
// the function up and call it in the module's calling form. Every recognised failure comes back as
// an error body {"ret_code","ret_msg"}; an escaped failure gives an empty text.
#include "bridge/ModuleResult.h"
#include "bridge/ModuleTexts.h"

#include <string>

namespace kx {

// /print, /upload, /ca, /pos, /pd.
std::string invokeModule(const std::string& programFolder, const std::string& request,
                         const std::string& module, const std::string& function);
// /camera, /smart-card: lenient data, a zero-filled result buffer of 2^25 code units, and no
// runtime form (a module whose calling form is not "c" is not called: empty result).
std::string invokeCModule(const std::string& programFolder, const std::string& request,
                          const std::string& module, const std::string& function);

// The same calls with the result left where the module wrote it (see ModuleResult), so a large
// result can be sent without being copied first.
ModuleResult invokeModuleResult(const std::string& programFolder, const std::string& request,
                                const std::string& module, const std::string& function);
ModuleResult invokeCModuleResult(const std::string& programFolder, const std::string& request,
                                 const std::string& module, const std::string& function);

// The same calls with the document already read: Strict data for invokeModuleResult, Lenient data
// for invokeCModuleResult.
ModuleResult invokeModuleResult(const std::string& programFolder, const RequestDocument& document,
                                const std::string& module, const std::string& function);
ModuleResult invokeCModuleResult(const std::string& programFolder, const RequestDocument& document,
                                 const std::string& module, const std::string& function);

} // namespace kx
