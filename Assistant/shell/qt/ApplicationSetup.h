#pragma once
// Application-wide settings made once, right after the QApplication exists, and the start-up
// check that Chinese text can be drawn at all.
#include <string>

class QApplication;

namespace kx {

// Names the application "Kestrix客户端助手" (the desktop's and the toolkit's name for it).
void configureApplication(QApplication& app);

// Empty when an installed font covers Simplified Chinese; otherwise one line saying that Chinese
// text is drawn as empty boxes and naming the Debian package that installs a font for it.
std::string missingChineseFontWarning();

} // namespace kx
