#include "shell/qt/TrayHostWatch.h"

#include <QGuiApplication>
#include <QMetaObject>

#include <xcb/xcb.h>

#include <cstdlib>
#include <string>

namespace {

std::uint32_t internAtom(xcb_connection_t* connection, const std::string& name)
{
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(name.size()), name.c_str()), nullptr);
    const std::uint32_t atom = reply ? reply->atom : static_cast<std::uint32_t>(XCB_ATOM_NONE);
    std::free(reply);
    return atom;
}

} // namespace

TrayHostWatch::TrayHostWatch(QObject* parent, std::function<void()> hostAppeared)
    : QObject(parent), hostAppeared_(std::move(hostAppeared))
{
    auto* x11 = qApp ? qApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    if (!connection)
        return;
    const xcb_setup_t* setup = xcb_get_setup(connection);
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(setup);
    if (!screens.rem)
        return;
    // The tray of the default screen (the one Qt draws on): _NET_SYSTEM_TRAY_S<number>.
    int screenNumber = 0;
    const QByteArray display = qgetenv("DISPLAY");
    const int dot = display.lastIndexOf('.');
    if (dot > display.lastIndexOf(':'))
        screenNumber = display.mid(dot + 1).toInt();
    for (int i = 0; i < screenNumber && screens.rem > 1; ++i)
        xcb_screen_next(&screens);
    const xcb_window_t root = screens.data->root;
    managerAtom_ = internAtom(connection, "MANAGER");
    trayAtom_ = internAtom(connection, "_NET_SYSTEM_TRAY_S" + std::to_string(screenNumber));
    if (managerAtom_ == XCB_ATOM_NONE || trayAtom_ == XCB_ATOM_NONE)
        return;
    // The MANAGER message goes to the root window with StructureNotify: add that to whatever this
    // connection already listens to there (replacing the mask would deafen the toolkit).
    xcb_get_window_attributes_reply_t* attributes =
        xcb_get_window_attributes_reply(connection, xcb_get_window_attributes(connection, root), nullptr);
    if (!attributes)
        return;
    const std::uint32_t mask = attributes->your_event_mask | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    std::free(attributes);
    xcb_change_window_attributes(connection, root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(connection);
    qApp->installNativeEventFilter(this);
    available_ = true;
}

TrayHostWatch::~TrayHostWatch()
{
    if (available_ && qApp)
        qApp->removeNativeEventFilter(this);
}

bool TrayHostWatch::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*)
{
    if (eventType != "xcb_generic_event_t")
        return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & ~0x80) != XCB_CLIENT_MESSAGE)
        return false;
    const auto* client = static_cast<const xcb_client_message_event_t*>(message);
    if (client->format == 32 && client->type == managerAtom_ && client->data.data32[1] == trayAtom_)
        QMetaObject::invokeMethod(this, [this] { hostAppeared_(); }, Qt::QueuedConnection);
    return false; // the toolkit sees the event too (it embeds its icons in the new host)
}
