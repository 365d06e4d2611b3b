#include "app/Heart.h"

#include "common/JsonpCallback.h"

namespace kx {

void THeart::OnPost(http::HttpRequest& request, http::HttpResponse& response)
{
    response.setBody(jsonpCallback(request.param("jsonp")) + "(0)");
    response.contentType = "text/html; charset=UTF-8";
}

} // namespace kx
