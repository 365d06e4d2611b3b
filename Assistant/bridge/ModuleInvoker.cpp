#include "bridge/ModuleInvoker.h"

#include "bridge/CompactJson.h"
#include "bridge/ModuleCall.h"
#include "bridge/ModuleLibraries.h"
#include "common/Config.h"
#include "common/Paths.h"

#include <cstdio>
#include <exception>

namespace kx {

namespace {

enum class Variant { Standard, Large };

ModuleResult invoke(Variant variant, const std::string& folder, const RequestDocument& document,
                   const std::string& module, const std::string& function)
{
    const DerivedText& config = document.config();
    if (config.malformed())
        return ModuleResult(buildErrorBody("2001", "config数据异常，不符合json格式"));
    const DerivedText& data = document.data();
    if (data.malformed())
        return ModuleResult(buildErrorBody("2001", "data数据异常，不符合json格式"));

    const DllIniModule entryInIni = readDllIniModule(module, folder);
    const std::string path = programPath(folder, entryInIni.path);
    // The call's own hold on the library: it stays mapped until the call has returned.
    const std::shared_ptr<ModuleLibrary> library =
        entryInIni.path.empty() ? nullptr : acquireModuleLibrary(path);
    if (!library)
        return ModuleResult(buildErrorBody("2003", "未找到指定的DLL文件"));

    try {
        void* entry = library->exportNamed(function);
        if (!entry)
            return ModuleResult(buildErrorBody("2002", "在DLL中未找到指定的方法"));
        CallOutcome outcome;
        try {
            if (entryInIni.lang == "c") {
                outcome = callCForm(entry, data.textOrEmptyObject(), config.textOrEmptyObject(),
                                    variant == Variant::Standard ? kResultUnits : kLargeResultUnits);
            } else if (variant == Variant::Large) {
                outcome = CallOutcome::success(ModuleResult());
            } else {
                if (config.absent())
                    return ModuleResult(buildErrorBody("2004", "config参数为空"));
                outcome = callRuntimeForm(entry, data.textOrEmptyObject(), config.text);
            }
        } catch (const std::exception& e) {
            outcome = CallOutcome::error(e.what());
        }
        switch (outcome.kind) {
        case CallOutcome::Kind::Result:
            return std::move(outcome.result);
        case CallOutcome::Kind::Error:
            return ModuleResult(buildErrorBody("2001", "捕获到异常：" + outcome.message));
        case CallOutcome::Kind::Escaped:
            break;
        }
    } catch (const std::exception& e) {
        // Raised around the call (handle list, configuration), not by the module: the library is
        // dropped like after an escaped failure, and the reason goes to standard error.
        std::fprintf(stderr, "module %s.%s: %s\n", module.c_str(), function.c_str(), e.what());
    } catch (...) {
        std::fprintf(stderr, "module %s.%s: an error of unknown type was raised\n", module.c_str(),
                     function.c_str());
    }
    dropModuleLibrary(library);
    return ModuleResult();
}

} // namespace

ModuleResult invokeModuleResult(const std::string& programFolder, const RequestDocument& document,
                                const std::string& module, const std::string& function)
{
    return invoke(Variant::Standard, programFolder, document, module, function);
}

ModuleResult invokeCModuleResult(const std::string& programFolder, const RequestDocument& document,
                                 const std::string& module, const std::string& function)
{
    return invoke(Variant::Large, programFolder, document, module, function);
}

ModuleResult invokeModuleResult(const std::string& programFolder, const std::string& request,
                                const std::string& module, const std::string& function)
{
    return invokeModuleResult(programFolder, RequestDocument(request, programFolder, DataForm::Strict), module,
                              function);
}

ModuleResult invokeCModuleResult(const std::string& programFolder, const std::string& request,
                                 const std::string& module, const std::string& function)
{
    return invokeCModuleResult(programFolder, RequestDocument(request, programFolder, DataForm::Lenient), module,
                               function);
}

std::string invokeModule(const std::string& programFolder, const std::string& request,
                         const std::string& module, const std::string& function)
{
    return invokeModuleResult(programFolder, request, module, function).toUtf8();
}

std::string invokeCModule(const std::string& programFolder, const std::string& request,
                          const std::string& module, const std::string& function)
{
    return invokeCModuleResult(programFolder, request, module, function).toUtf8();
}

} // namespace kx
