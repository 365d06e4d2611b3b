#pragma once
#include "http/WebComponent.h"

namespace kx {

// "/heart": tells a page that the client runs: the "jsonp" callback name followed by "(0)" (a
// value that is no callback name, JsonpCallback.h, counts as absent).
class THeart : public http::PostComponent {
public:
    std::string className() const override { return "THeart"; }
    bool answersAtOnce() const override { return true; }
    void OnPost(http::HttpRequest& request, http::HttpResponse& response) override;
};

} // namespace kx
