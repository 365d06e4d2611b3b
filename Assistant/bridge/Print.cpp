#include "bridge/Print.h"

#include "bridge/BusinessEndpoint.h"

namespace kx {

void TPrint::OnPost(http::HttpRequest& request, http::HttpResponse& response)
{
    serveScriptEndpoint(request, response, "print", InvokerKind::Module);
}

} // namespace kx
