#include "bridge/SmartCard.h"

#include "bridge/BusinessEndpoint.h"

namespace kx {

void TSmartCard::OnPost(http::HttpRequest& request, http::HttpResponse& response)
{
    serveSmartCardEndpoint(request, response);
}

} // namespace kx
