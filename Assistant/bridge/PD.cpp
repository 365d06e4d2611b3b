#include "bridge/PD.h"

#include "bridge/BusinessEndpoint.h"

namespace kx {

void TPD::OnPost(http::HttpRequest& request, http::HttpResponse& response)
{
    serveScriptEndpoint(request, response, "pd", InvokerKind::Module);
}

} // namespace kx
