#pragma once
// The replies of the business endpoints: the script that posts {"id","ret"} to the page's parent
// window, preceded by the script prefix of data/text/json2.txt.
#include <string>

namespace kx {

// The file's lines joined with nothing between them (UTF-8; a byte order mark is skipped).
// Raises KxError when the file is missing or cannot be read.
std::string readScriptPrefix(const std::string& path);
// The prefix file of the program folder (data/text/json2.txt), read as above.
std::string readProgramScriptPrefix(const std::string& programFolder);

// "<script>" + prefix + "var data=" + {"id":id,"ret":result} +
// ";window.parent.postMessage(JSON.stringify(data), \"*\")</script>".
// "ret" is null for an empty or blank result and the nested object for a JSON object; any other
// result raises KxError (the request then fails with status 500).
std::string buildScriptReply(const std::string& id, const std::string& prefix, const std::string& result);

// The same frame around a ready "ret" value (already JSON).
std::string wrapScriptReply(const std::string& prefix, const std::string& dataObject);

} // namespace kx
