#pragma once
#include "http/WebComponent.h"

namespace kx {

// "/upload": calls the "upload" module library and answers with the script reply.
class TUpload : public http::PostComponent {
public:
    std::string className() const override { return "TUpload"; }
    void OnPost(http::HttpRequest& request, http::HttpResponse& response) override;
};

} // namespace kx
