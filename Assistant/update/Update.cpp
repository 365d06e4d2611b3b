#include "update/Update.h"

#include "common/JsonpCallback.h"
#include "common/StartupValues.h"
#include "common/WindowMessages.h"
#include "update/ThreadUnit.h"
#include "update/UpdateUrl.h"

namespace kx {

void TUpdate::OnPost(http::HttpRequest& request, http::HttpResponse& response)
{
    const std::string programFolder = startupValues().programFolder;
    const std::string url = request.param("url");
    const std::string jsonp = jsonpCallback(request.param("jsonp"));
    if (storeUpdateUrl(url, programFolder) == "-1") {
        response.setBody(jsonp + "(-1)");
    } else {
        const std::string title = kApplicationTitle;
        TUpgradeAppThread::Create(programFolder, false, findWindow(kMainWindowClass, &title));
        response.setBody(jsonp + "(0)");
    }
    response.contentType = "text/html; charset=UTF-8";
}

} // namespace kx
