#include "bridge/ScriptReply.h"

#include "bridge/CompactJson.h"
#include "common/Errors.h"
#include "common/FileCache.h"
#include "common/Paths.h"
#include "platform/SystemCodePage.h"

#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>

namespace kx {

namespace {

constexpr const char* kReplyTail = "};window.parent.postMessage(JSON.stringify(data), \"*\")</script>";

// Results up to this many code units are turned into one text; larger ones are streamed.
constexpr std::size_t kStreamFromUnits = 64 * 1024;

// Everything of the reply up to the "ret" value.
std::string replyHead(const std::string& id, const std::string& prefix)
{
    return "<script>" + prefix + "var data={\"id\":" + scriptSafeJson(Json(id)) + ",\"ret\":";
}

[[noreturn]] void refuseResult(const std::string& utf8)
{
    if (parseStrictJson(utf8))
        throw KxError("EJsonCastException", "The module result is not a JSON object");
    throw KxError("EJsonParserException", "The module result is not JSON");
}

// The prefix made from the kept bytes of the last file read: the same bytes make the same prefix.
struct PrefixMemo {
    std::mutex mutex;
    std::string path;
    std::shared_ptr<const std::string> bytes;
    std::string prefix;
};

PrefixMemo& prefixMemo()
{
    static PrefixMemo memo;
    return memo;
}

std::string prefixOf(std::string text)
{
    if (text.starts_with("\xEF\xBB\xBF"))
        text.erase(0, 3);
    else
        text = platform::fromSystemCodePage(text);
    std::erase_if(text, [](char c) { return c == '\r' || c == '\n'; });
    return text;
}

} // namespace

std::string readScriptPrefix(const std::string& path)
{
    // Read on every module reply: unchanged since the last read, the kept bytes serve.
    const std::string native = toNativeSeparators(path);
    if (const std::shared_ptr<const std::string> bytes = cachedFileBytes(native)) {
        PrefixMemo& memo = prefixMemo();
        {
            std::lock_guard lock(memo.mutex);
            if (memo.bytes == bytes && memo.path == native)
                return memo.prefix;
        }
        std::string prefix = prefixOf(*bytes);
        std::lock_guard lock(memo.mutex);
        memo.path = native;
        memo.bytes = bytes;
        memo.prefix = prefix;
        return prefix;
    }
    std::string text;
    {
        // Not a readable file: read it here to tell why.
        std::ifstream in(pathFromUtf8(native), std::ios::binary);
        if (!in)
            throw KxError("EFOpenError", "Cannot open file \"" + path + "\"");
        std::ostringstream content;
        content << in.rdbuf();
        if (in.bad())
            throw KxError("EReadError", "Cannot read file \"" + path + "\"");
        text = content.str();
    }
    return prefixOf(std::move(text));
}

std::string readProgramScriptPrefix(const std::string& programFolder)
{
    return readScriptPrefix(programPath(programFolder, "data\\text\\json2.txt"));
}

std::string wrapScriptReply(const std::string& prefix, const std::string& dataObject)
{
    return "<script>" + prefix + "var data=" + dataObject +
           ";window.parent.postMessage(JSON.stringify(data), \"*\")</script>";
}

std::string buildScriptReply(const std::string& id, const std::string& prefix, const std::string& result)
{
    // Written straight into the reply: a module result can be tens of megabytes.
    std::string reply = replyHead(id, prefix);
    reply.reserve(reply.size() + result.size() + 80);
    if (isBlankText(result))
        reply += "null";
    else if (!appendCompactObject(reply, result, JsonEscaping::Script))
        refuseResult(result);
    reply += kReplyTail;
    return reply;
}

void setScriptReply(http::HttpResponse& response, const std::string& id, const std::string& prefix,
                    const ModuleResult& result)
{
    if (!result.buffered() || result.units().size() <= kStreamFromUnits || result.blank()) {
        response.setBody(buildScriptReply(id, prefix, result.toUtf8()));
        return;
    }
    const std::optional<std::uint64_t> retSize = compactObjectSize(result.units(), JsonEscaping::Script);
    if (!retSize)
        refuseResult(result.toUtf8());
    std::string head = replyHead(id, prefix);
    const std::uint64_t size = head.size() + *retSize + std::char_traits<char>::length(kReplyTail);
    response.setStreamedBody(size, [head = std::move(head), result](const http::BodyWriter& write) {
        return write(head) && writeCompactObject(result.units(), JsonEscaping::Script, write) &&
               write(kReplyTail);
    });
}

void setRawReply(http::HttpResponse& response, const ModuleResult& result)
{
    response.untrustedMarkup = true;
    if (!result.buffered() || result.units().size() <= kStreamFromUnits) {
        response.setBody(result.toUtf8());
        return;
    }
    response.setStreamedBody(result.utf8Size(),
                             [result](const http::BodyWriter& write) { return result.writeUtf8(write); });
}

} // namespace kx
