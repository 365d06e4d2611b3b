#include "bridge/Upload.h"

#include "bridge/BusinessEndpoint.h"

namespace kx {

void TUpload::OnPost(http::HttpRequest& request, http::HttpResponse& response)
{
    serveScriptEndpoint(request, response, "upload", InvokerKind::Module);
}

} // namespace kx
