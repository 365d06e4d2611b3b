#pragma once
#include "http/WebComponent.h"

namespace kx {

// "/pd": calls the "pd" module library and answers with the script reply.
class TPD : public http::PostComponent {
public:
    std::string className() const override { return "TPD"; }
    void OnPost(http::HttpRequest& request, http::HttpResponse& response) override;
};

} // namespace kx
