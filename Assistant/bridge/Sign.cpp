#include "bridge/Sign.h"

#include "bridge/Base64Text.h"
#include "bridge/CompactJson.h"
#include "bridge/SigningLibrary.h"

namespace kx {

namespace {

constexpr const char* kSigningOptions = "{\"appId\": \"00\"}";
constexpr const char* kSigningFailure = "{\"ret_code\": \"1\", \"ret_msg\": \"签名服务错误\"}";

} // namespace

std::string buildSigningRequest(const std::string& signText)
{
    Json request = Json::object();
    request["signText"] = signText;
    request["provider"] = "jit";
    return request.dump(1, '\t', false, Json::error_handler_t::replace);
}

void TSign::OnPost(http::HttpRequest& request, http::HttpResponse& response)
{
    std::string answer;
    try {
        const std::string signText = decodeBase64Text(request.paramView("text"));
        answer = callDoSign(buildSigningRequest(signText), kSigningOptions).value_or(kSigningFailure);
    } catch (...) {
        answer = kSigningFailure;
    }
    response.setBody(std::move(answer));
    response.contentType = "text/json; charset=UTF-8";
}

} // namespace kx
