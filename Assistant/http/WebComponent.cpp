#include "http/WebComponent.h"

namespace kx::http {

void WebComponent::methodNotAllowed(HttpResponse& response)
{
    response.status = 405;
}

void WebComponent::Service(HttpRequest& request, HttpResponse& response)
{
    const std::string& m = request.method;
    if (m == "GET") OnGet(request, response);
    else if (m == "POST") OnPost(request, response);
    else if (m == "HEAD") OnHead(request, response);
    else if (m == "OPTIONS") OnOptions(request, response);
    else if (m == "PUT") OnPut(request, response);
    else if (m == "DELETE") OnDelete(request, response);
    else if (m == "TRACE") OnTrace(request, response);
    else if (m == "PATCH") OnPatch(request, response);
    // Any other method reaches no handler: the reply stays 200 with the default body.
}

void WebComponent::OnGet(HttpRequest&, HttpResponse& r) { methodNotAllowed(r); }
void WebComponent::OnPost(HttpRequest&, HttpResponse& r) { methodNotAllowed(r); }
void WebComponent::OnHead(HttpRequest&, HttpResponse& r) { methodNotAllowed(r); }
void WebComponent::OnOptions(HttpRequest&, HttpResponse& r) { methodNotAllowed(r); }
void WebComponent::OnPut(HttpRequest&, HttpResponse& r) { methodNotAllowed(r); }
void WebComponent::OnDelete(HttpRequest&, HttpResponse& r) { methodNotAllowed(r); }
void WebComponent::OnTrace(HttpRequest&, HttpResponse& r) { methodNotAllowed(r); }
void WebComponent::OnPatch(HttpRequest&, HttpResponse& r) { methodNotAllowed(r); }

} // namespace kx::http
