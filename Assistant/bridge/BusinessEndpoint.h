#pragma once
// The shared handling of the business endpoints: decode the request document from "payload",
// call the module through an invoker and answer with the script reply (or, where a request asks
// for it, the raw module result).
#include "http/HttpRequest.h"
#include "http/HttpResponse.h"

#include <string>

namespace kx {

enum class InvokerKind { Module, CModule };

// /print, /upload, /pos, /pd, /camera.
void serveScriptEndpoint(const http::HttpRequest& request, http::HttpResponse& response,
                         const std::string& module, InvokerKind invoker);
// /ca: "isDoubleBase" and the agency flag.
void serveCaEndpoint(const http::HttpRequest& request, http::HttpResponse& response);
// /smart-card: the agency flag.
void serveSmartCardEndpoint(const http::HttpRequest& request, http::HttpResponse& response);

// The request document's config member "agency3intfc" as a flag: JSON true, a non-zero number or
// exactly "true". Raises KxError when the document is neither blank nor a JSON object, when its
// "config" is present and neither an object nor null, or when the flag is null, an array or an
// object.
bool readAgencyFlag(const std::string& requestDocument);

} // namespace kx
