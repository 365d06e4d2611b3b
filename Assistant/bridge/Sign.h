#pragma once
#include "http/WebComponent.h"

namespace kx {

// "/sign": has the text of "text" (Base64 of UTF-8) signed by doSign of the signing library and
// answers with the library's answer as it is, or the fixed failure reply.
class TSign : public http::PostComponent {
public:
    std::string className() const override { return "TSign"; }
    void OnPost(http::HttpRequest& request, http::HttpResponse& response) override;
};

// {"signText": text, "provider": "jit"} written indented (tab, one blank after each colon, LF).
std::string buildSigningRequest(const std::string& signText);

} // namespace kx
