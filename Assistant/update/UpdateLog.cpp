#include "update/UpdateLog.h"

#include <cstdio>
#include <mutex>

namespace kx {
namespace {

std::mutex g_sinkMutex;

UpdateLogSink& sink()
{
    static UpdateLogSink s;
    return s;
}

} // namespace

UpdateLogSink setUpdateLogSink(UpdateLogSink s)
{
    std::lock_guard lock(g_sinkMutex);
    UpdateLogSink previous = std::move(sink());
    sink() = std::move(s);
    return previous;
}

void updateLog(const std::string& message)
{
    std::lock_guard lock(g_sinkMutex);
    if (sink())
        sink()(message);
    else
        std::fprintf(stderr, "%s\n", message.c_str());
}

} // namespace kx
