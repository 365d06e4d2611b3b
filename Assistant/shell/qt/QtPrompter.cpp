#include "shell/qt/QtPrompter.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QThread>

int QtPrompter::messageBox(const kx::MessageBoxRequest& request)
{
    // Widgets live on the GUI thread only: a box asked for by another thread (the update check)
    // is shown there while the asking thread waits for the answer.
    QCoreApplication* app = QCoreApplication::instance();
    if (app && QThread::currentThread() != app->thread()) {
        int answer = request.defaultButton;
        QMetaObject::invokeMethod(
            app, [this, &request, &answer] { answer = messageBox(request); }, Qt::BlockingQueuedConnection);
        return answer;
    }
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
        box.setDefaultButton(request.defaultButton == kx::kAnswerNo ? QMessageBox::No : QMessageBox::Yes);
    } else {
        box.setStandardButtons(QMessageBox::Ok);
    }
    if (request.topmost)
        box.setWindowFlag(Qt::WindowStaysOnTopHint, true);
    const int r = box.exec();
    if (request.buttons == kx::BoxButtons::YesNo)
        return r == QMessageBox::Yes ? kx::kAnswerYes : kx::kAnswerNo;
    return kx::kAnswerOk;
}
