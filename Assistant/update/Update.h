#pragma once
#include "http/WebComponent.h"

namespace kx {

// "/update": stores the update server address given in "url" and starts an automatic update
// check against it. Body: the "jsonp" callback name (JsonpCallback.h; anything else counts as
// absent) followed by "(0)", or "(-1)" when no address came.
class TUpdate : public http::PostComponent {
public:
    std::string className() const override { return "TUpdate"; }
    void OnPost(http::HttpRequest& request, http::HttpResponse& response) override;
};

} // namespace kx
