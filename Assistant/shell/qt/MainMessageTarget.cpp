#include "shell/qt/MainMessageTarget.h"

#include "shell/qt/Main.h"

#include <QMetaObject>
#include <QThread>

MainMessageTarget::MainMessageTarget(TfrmMain* window) : window_(window) {}

void MainMessageTarget::post(unsigned message, std::uintptr_t wParam, std::intptr_t lParam)
{
    QPointer<TfrmMain> w = window_;
    if (!w)
        return;
    QMetaObject::invokeMethod(
        w.data(), [w, message, wParam, lParam] {
            if (w)
                w->WndProc(message, wParam, lParam);
        },
        Qt::QueuedConnection);
}

std::intptr_t MainMessageTarget::send(unsigned message, std::uintptr_t wParam, std::intptr_t lParam)
{
    QPointer<TfrmMain> w = window_;
    if (!w)
        return 0;
    if (QThread::currentThread() == w->thread())
        return w->WndProc(message, wParam, lParam);
    std::intptr_t result = 0;
    QMetaObject::invokeMethod(
        w.data(), [w, message, wParam, lParam, &result] {
            if (w)
                result = w->WndProc(message, wParam, lParam);
        },
        Qt::BlockingQueuedConnection);
    return result;
}
