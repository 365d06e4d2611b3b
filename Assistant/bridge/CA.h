#pragma once
#include "http/WebComponent.h"

namespace kx {

// "/ca": calls the "ca" module library; the raw result when the request sets "agency3intfc",
// else the script reply. "isDoubleBase" says the payload was Base64-encoded twice.
class TCA : public http::PostComponent {
public:
    std::string className() const override { return "TCA"; }
    void OnPost(http::HttpRequest& request, http::HttpResponse& response) override;
};

} // namespace kx
