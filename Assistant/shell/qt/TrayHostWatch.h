#pragma once
// Tells when a notification area (a system tray host) appears on an X display, from the event the
// host sends to every client as it takes over the tray (the MANAGER message of the system-tray
// protocol), so that the tray icon can be put up again without looking for the area on a timer.
// Only X displays have this event: elsewhere available() is false and the caller keeps looking.
#include <QAbstractNativeEventFilter>
#include <QObject>

#include <cstdint>
#include <functional>

class TrayHostWatch : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT
public:
    // hostAppeared runs on the GUI thread, after the event has been handled.
    TrayHostWatch(QObject* parent, std::function<void()> hostAppeared);
    ~TrayHostWatch() override;

    bool available() const { return available_; }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    std::function<void()> hostAppeared_;
    bool available_ = false;
    std::uint32_t managerAtom_ = 0;
    std::uint32_t trayAtom_ = 0;
};
