#pragma once
// The replies of the business endpoints: the script that posts {"id","ret"} to the page's parent
// window, preceded by the script prefix of data/text/json2.txt.
//
// Everything inside the data object is written in the script-safe form (CompactJson.h): no "<",
// ">", "&", U+2028 or U+2029 appears raw in it, so nothing a request or a module sends back can
// end the script element or become markup, and the page still parses the same data.
#include "bridge/ModuleResult.h"
#include "http/HttpResponse.h"

#include <string>

namespace kx {

// The file's lines joined with nothing between them, as UTF-8 text: a file that begins with a UTF-8
// byte order mark is read as UTF-8 (the mark skipped), any other in the system code page
// (platform/SystemCodePage.h).
// Raises KxError when the file is missing or cannot be read.
std::string readScriptPrefix(const std::string& path);
// The prefix file of the program folder (data/text/json2.txt), read as above.
std::string readProgramScriptPrefix(const std::string& programFolder);

// "<script>" + prefix + "var data=" + {"id":id,"ret":result} +
// ";window.parent.postMessage(JSON.stringify(data), \"*\")</script>".
// "ret" is null for an empty or blank result and the nested object for a JSON object; any other
// result raises KxError (the request then fails with status 500).
std::string buildScriptReply(const std::string& id, const std::string& prefix, const std::string& result);

// The same frame around a ready data object (already script-safe JSON).
std::string wrapScriptReply(const std::string& prefix, const std::string& dataObject);

// Sets the script reply for a module result as the response's body. The result is checked and
// measured at once (KxError as buildScriptReply); a large buffered result is then written from
// the module's buffer in pieces while the reply is sent, never copied whole.
void setScriptReply(http::HttpResponse& response, const std::string& id, const std::string& prefix,
                    const ModuleResult& result);
// Sets the raw reply: the module result alone, as UTF-8, streamed the same way when large, marked
// as markup the service does not control (sent sandboxed, see HttpResponse::untrustedMarkup).
void setRawReply(http::HttpResponse& response, const ModuleResult& result);

} // namespace kx
