#include "QtPrompter.h"

#include <QMessageBox>

int QtPrompter::messageBox(const kx::MessageBoxRequest& request)
{
    QMessageBox box;
    box.setWindowTitle(QString::fromStdString(request.caption));
    box.setText(QString::fromStdString(request.text));
    switch (request.icon) {
    case kx::BoxIcon::Question: box.setIcon(QMessageBox::Question); break;
    case kx::BoxIcon::Warning: box.setIcon(QMessageBox::Warning); break;
    case kx::BoxIcon::Error: box.setIcon(QMessageBox::Critical); break;
    case kx::BoxIcon::Information: box.setIcon(QMessageBox::Information); break;
    case kx::BoxIcon::None: box.setIcon(QMessageBox::NoIcon); break;
    }
    if (request.buttons == kx::BoxButtons::YesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(request.defaultButton == kx::IDNO ? QMessageBox::No : QMessageBox::Yes);
    } else {
        box.setStandardButtons(QMessageBox::Ok);
    }
    if (request.topmost)
        box.setWindowFlag(Qt::WindowStaysOnTopHint, true);
    const int r = box.exec();
    if (request.buttons == kx::BoxButtons::YesNo)
        return r == QMessageBox::Yes ? kx::IDYES : kx::IDNO;
    return kx::IDOK;
}
