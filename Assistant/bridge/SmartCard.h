#pragma once
#include "http/WebComponent.h"

namespace kx {

// "/smart-card": calls the "smart-card" module library (large result buffer); the raw result
// when the request sets "agency3intfc", else the script reply.
class TSmartCard : public http::PostComponent {
public:
    std::string className() const override { return "TSmartCard"; }
    void OnPost(http::HttpRequest& request, http::HttpResponse& response) override;
};

} // namespace kx
