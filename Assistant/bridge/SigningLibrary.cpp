#include "bridge/SigningLibrary.h"

#include "base/LibraryConventions.h"
#include "bridge/ModuleCall.h"
#include "common/Paths.h"
#include "platform/DynamicLibrary.h"
#include "platform/FaultGuard.h"

#include <atomic>
#include <clocale>

namespace kx {

namespace {

std::atomic<void*> doSignEntry{nullptr};

} // namespace

std::string signingLibraryPath(const std::string& programFolder)
{
    return programPath(programFolder, "comp\\common\\ca\\" KX_LIBRARY_FILE("CA"));
}

bool loadSigningLibrary(const std::string& programFolder, std::string& error)
{
    // Our fault handlers go in first: a Pascal runtime swaps in its own while its library loads
    // and puts back whatever it found.
    platform::installFaultHandlers();
    const std::string path = signingLibraryPath(programFolder);
    // A Pascal runtime may set the process locale while it loads; the host keeps its own.
    const char* current = std::setlocale(LC_ALL, nullptr);
    const std::string savedLocale = current ? current : "C";
    std::string loadError;
    platform::LibraryHandle handle = platform::loadLibrary(path, &loadError);
    std::setlocale(LC_ALL, savedLocale.c_str());
    if (!handle) {
        error = "无法加载签名库 " + path + "：" + loadError;
        return false;
    }
    void* entry = platform::libraryExport(handle, "doSign");
    if (!entry) {
        error = "签名库 " + path + " 中没有 doSign 函数";
        platform::releaseLibrary(handle);
        return false;
    }
    doSignEntry.store(entry);
    return true;
}

std::optional<std::string> callDoSign(const std::string& request, const std::string& options)
{
    void* entry = doSignEntry.load();
    if (!entry)
        return std::nullopt;
    CallOutcome outcome;
    try {
        outcome = callRuntimeForm(entry, request, options);
    } catch (...) {
        return std::nullopt;
    }
    if (outcome.kind != CallOutcome::Kind::Result)
        return std::nullopt;
    return std::move(outcome.result).toUtf8();
}

} // namespace kx
