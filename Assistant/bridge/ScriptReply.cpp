#include "bridge/ScriptReply.h"

#include "bridge/CompactJson.h"
#include "common/Errors.h"
#include "common/Paths.h"

#include <fstream>
#include <sstream>

namespace kx {

std::string readScriptPrefix(const std::string& path)
{
    std::ifstream in(toNativeSeparators(path), std::ios::binary);
    if (!in)
        throw KxError("EFOpenError", "Cannot open file \"" + path + "\"");
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad())
        throw KxError("EReadError", "Cannot read file \"" + path + "\"");
    std::string text = content.str();
    if (text.starts_with("\xEF\xBB\xBF"))
        text.erase(0, 3);
    std::string prefix;
    prefix.reserve(text.size());
    for (char c : text)
        if (c != '\r' && c != '\n')
            prefix += c;
    return prefix;
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
    Json idText = id;
    std::string reply;
    reply.reserve(prefix.size() + id.size() + result.size() + 128);
    reply += "<script>";
    reply += prefix;
    reply += "var data={\"id\":";
    reply += compactJson(idText);
    reply += ",\"ret\":";
    if (isBlankText(result)) {
        reply += "null";
    } else if (!appendCompactObject(reply, result)) {
        if (parseStrictJson(result))
            throw KxError("EJsonCastException", "The module result is not a JSON object");
        throw KxError("EJsonParserException", "The module result is not JSON");
    }
    reply += "};window.parent.postMessage(JSON.stringify(data), \"*\")</script>";
    return reply;
}

} // namespace kx
