#pragma once
#include "http/WebComponent.h"

namespace kx {

// "/pos": calls the "pos" module library and answers with the script reply.
class TPOS : public http::PostComponent {
public:
    std::string className() const override { return "TPOS"; }
    void OnPost(http::HttpRequest& request, http::HttpResponse& response) override;
};

} // namespace kx
