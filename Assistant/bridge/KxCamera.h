#pragma once
#include "http/WebComponent.h"

namespace kx {

// "/camera": calls the "camera" module library and answers with the script reply.
class TKxCamera : public http::PostComponent {
public:
    std::string className() const override { return "TKxCamera"; }
    void OnPost(http::HttpRequest& request, http::HttpResponse& response) override;
};

} // namespace kx
