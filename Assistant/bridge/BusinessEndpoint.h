#pragma once
// The shared handling of the business endpoints: decode the request document from "payload",
// read it once (RequestDocument), call the module through an invoker and answer with the script reply (or, where a request asks
// for it, the raw module result).
#include "bridge/ModuleTexts.h"
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

} // namespace kx
