#include "app/Appctrl.h"

#include "common/WindowMessages.h"
#include "common/WindowTable.h"

namespace kx {

void TAppctrl::OnPost(http::HttpRequest& request, http::HttpResponse&)
{
    if (request.param("cmd") != "1")
        return;
    const std::string title = kApplicationTitle;
    if (WindowId main = findWindow(kMainWindowClass, &title))
        postMessage(main, kCloseMessage, 0, 0);
}

} // namespace kx
