#include "bridge/KxCamera.h"

#include "bridge/BusinessEndpoint.h"

namespace kx {

void TKxCamera::OnPost(http::HttpRequest& request, http::HttpResponse& response)
{
    serveScriptEndpoint(request, response, "camera", InvokerKind::CModule);
}

} // namespace kx
