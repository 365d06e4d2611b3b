#pragma once
// Keeps a widget in the window table under its class name for as long as the widget exists, so
// other code can find it (and close it with kCloseMessage) as it would find any named window.
#include "common/WindowTable.h"

#include <QPointer>
#include <QWidget>

#include <string>

class WidgetMessageTarget : public kx::MessageTarget {
public:
    explicit WidgetMessageTarget(QWidget* widget);
    // kCloseMessage closes the widget on its own thread; other messages are ignored.
    void post(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override;
    std::intptr_t send(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override;

private:
    QPointer<QWidget> widget_;
};

class RegisteredWindow {
public:
    RegisteredWindow(QWidget* widget, const std::string& className, const std::string& title);
    ~RegisteredWindow();
    RegisteredWindow(const RegisteredWindow&) = delete;
    RegisteredWindow& operator=(const RegisteredWindow&) = delete;

    kx::WindowId id() const { return id_; }

private:
    kx::WindowId id_ = 0;
};
