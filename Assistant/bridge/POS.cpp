#include "bridge/POS.h"

#include "bridge/BusinessEndpoint.h"

namespace kx {

void TPOS::OnPost(http::HttpRequest& request, http::HttpResponse& response)
{
    serveScriptEndpoint(request, response, "pos", InvokerKind::Module);
}

} // namespace kx
