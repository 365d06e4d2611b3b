#include "bridge/ModuleInvoker.h"

#include "bridge/CompactJson.h"
#include "bridge/ModuleCall.h"
#include "common/Config.h"
#include "common/ModuleHandleList.h"
#include "common/Paths.h"
#include "platform/DynamicLibrary.h"

#include <chrono>
#include <cstdio>
#include <exception>

namespace kx {

namespace {

constexpr std::chrono::milliseconds kRegistrationWait{10000};
constexpr std::chrono::milliseconds kRemovalWait{3000};

enum class Variant { Standard, Large };

// One reference on a library for the length of one call. Libraries are reference-counted by the
// loader, so a library released from the handle list after a failure stays mapped until every
// call still inside it, or still reading its result, has let go.
class CallReference {
public:
    explicit CallReference(platform::LibraryHandle h) : handle_(h) {}
    ~CallReference() { platform::releaseLibrary(handle_); }
    CallReference(const CallReference&) = delete;
    CallReference& operator=(const CallReference&) = delete;
    platform::LibraryHandle get() const { return handle_; }

private:
    platform::LibraryHandle handle_;
};

platform::LibraryHandle findOrLoad(const std::string& path)
{
    if (platform::LibraryHandle h = platform::findLoadedLibrary(path))
        return h;
    return platform::loadLibrary(path);
}

// Enters the library in the handle list. The list keeps a reference of its own, so the call's
// reference can be given back when the call ends. A registration whose wait times out is skipped.
void registerLibrary(platform::LibraryHandle handle, const std::string& path)
{
    auto& list = ModuleHandleList::instance();
    if (list.registerHandle(handle, kRegistrationWait) == ModuleHandleList::Registration::Added) {
        if (!platform::findLoadedLibrary(path)) {
            // Cannot happen while the call holds its own reference; keep the list honest anyway.
            list.remove(handle, kRemovalWait);
        }
    }
}

// After an escaped failure: the library leaves the list and the list's reference is given back.
// A removal whose wait times out is skipped (the list is never touched unguarded).
void dropLibrary(platform::LibraryHandle handle)
{
    if (ModuleHandleList::instance().remove(handle, kRemovalWait))
        platform::releaseLibrary(handle);
}

ModuleResult invoke(Variant variant, const std::string& folder, const RequestDocument& document,
                   const std::string& module, const std::string& function)
{
    const DerivedText& config = document.config();
    if (config.malformed())
        return ModuleResult(buildErrorBody("2001", "config数据异常，不符合json格式"));
    const DerivedText& data = document.data();
    if (data.malformed())
        return ModuleResult(buildErrorBody("2001", "data数据异常，不符合json格式"));

    const std::string relative = readDllIni("MODULE-DLLPATH", module, "", folder);
    const std::string path = programPath(folder, relative);
    platform::LibraryHandle handle = relative.empty() ? nullptr : findOrLoad(path);
    if (!handle)
        return ModuleResult(buildErrorBody("2003", "未找到指定的DLL文件"));
    CallReference reference(handle);

    try {
        registerLibrary(handle, path);
        void* entry = platform::libraryExport(handle, function);
        if (!entry)
            return ModuleResult(buildErrorBody("2002", "在DLL中未找到指定的方法"));
        CallOutcome outcome;
        try {
            const bool cForm = readDllIni("MODULE-LANG", module, "delphi", folder) == "c";
            if (cForm) {
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
    dropLibrary(handle);
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
