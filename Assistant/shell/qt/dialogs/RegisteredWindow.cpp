#include "shell/qt/dialogs/RegisteredWindow.h"

#include "common/WindowMessages.h"

#include <QMetaObject>
#include <QThread>

#include <memory>

WidgetMessageTarget::WidgetMessageTarget(QWidget* widget) : widget_(widget) {}

void WidgetMessageTarget::post(unsigned message, std::uintptr_t, std::intptr_t)
{
    QPointer<QWidget> w = widget_;
    if (!w || message != kx::kCloseMessage)
        return;
    QMetaObject::invokeMethod(w.data(), [w] { if (w) w->close(); }, Qt::QueuedConnection);
}

std::intptr_t WidgetMessageTarget::send(unsigned message, std::uintptr_t, std::intptr_t)
{
    QPointer<QWidget> w = widget_;
    if (!w || message != kx::kCloseMessage)
        return 0;
    if (QThread::currentThread() == w->thread())
        w->close();
    else
        QMetaObject::invokeMethod(w.data(), [w] { if (w) w->close(); }, Qt::BlockingQueuedConnection);
    return 0;
}

RegisteredWindow::RegisteredWindow(QWidget* widget, const std::string& className, const std::string& title)
    : id_(kx::registerWindow(className, title, std::make_shared<WidgetMessageTarget>(widget)))
{
}

RegisteredWindow::~RegisteredWindow()
{
    kx::unregisterWindow(id_);
}
