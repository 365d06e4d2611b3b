#include "shell/qt/ApplicationSetup.h"

#include "common/WindowMessages.h"

#include <QApplication>
#include <QFontDatabase>

namespace kx {

void configureApplication(QApplication& app)
{
    app.setQuitOnLastWindowClosed(false);
    // Only the name: with a display name set, the toolkit appends it to every window title, and
    // titles must read exactly as the windows' captions.
    app.setApplicationName(QString::fromUtf8(kApplicationTitle));
}

std::string missingChineseFontWarning()
{
    if (!QFontDatabase::families(QFontDatabase::SimplifiedChinese).isEmpty())
        return {};
    return "No installed font covers Chinese, so the tray menu, balloons and dialogs show empty boxes: "
           "install one (on Debian: apt-get install fonts-wqy-microhei)";
}

} // namespace kx
