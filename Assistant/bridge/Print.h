#pragma once
#include "http/WebComponent.h"

namespace kx {

// "/print": calls the "print" module library and answers with the script reply.
class TPrint : public http::PostComponent {
public:
    std::string className() const override { return "TPrint"; }
    void OnPost(http::HttpRequest& request, http::HttpResponse& response) override;
};

} // namespace kx
