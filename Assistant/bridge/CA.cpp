#include "bridge/CA.h"

#include "bridge/BusinessEndpoint.h"

namespace kx {

void TCA::OnPost(http::HttpRequest& request, http::HttpResponse& response)
{
    serveCaEndpoint(request, response);
}

} // namespace kx
