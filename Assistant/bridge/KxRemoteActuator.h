#pragma once
#include "http/WebComponent.h"

#include <string>

namespace kx {

// "/NontaxAgencyActuator": calls one function of the agency library ("NontaxAgencyActuator" in
// conf/dll.ini) with the parameter text of "Params" and hands its result to the page as Base64.
class TKxRemoteActuator : public http::PostComponent {
public:
    std::string className() const override { return "TKxRemoteActuator"; }
    void OnPost(http::HttpRequest& request, http::HttpResponse& response) override;

    // The library's result text; empty after any failure. Each call holds a load reference of its
    // own until it has finished, so a failure elsewhere never unloads the library under it.
    static std::string serviceEntry(const std::string& appFileDir, const std::string& module,
                                    const std::string& method, const std::string& inParams);
    // The script reply whose "ret" is the Base64 text of ret.
    static std::string buildResponse(const std::string& id, const std::string& textCode, const std::string& ret);
};

} // namespace kx
