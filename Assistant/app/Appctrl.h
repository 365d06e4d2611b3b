#pragma once
#include "http/WebComponent.h"

namespace kx {

// "/appctrl": cmd=1 closes the main window (the client exits); the reply is always the default.
class TAppctrl : public http::PostComponent {
public:
    std::string className() const override { return "TAppctrl"; }
    void OnPost(http::HttpRequest& request, http::HttpResponse& response) override;
};

} // namespace kx
