#include "shell/qt/dialogs/DialogLook.h"

#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QWidget>

void applyDialogLook(QWidget* dialog, int clientWidth, int clientHeight)
{
    dialog->setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                           Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint);
    dialog->setFixedSize(clientWidth, clientHeight);
    QFont font(QStringLiteral("Tahoma"));
    font.setPixelSize(11);
    dialog->setFont(font);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        dialog->move(area.x() + (area.width() - clientWidth) / 2, area.y() + (area.height() - clientHeight) / 2);
    }
}

void bringToFront(QWidget* window)
{
    // The offscreen platform has no stacking order to change.
    if (QGuiApplication::platformName() != QLatin1String("offscreen"))
        window->raise();
    window->setWindowState(window->windowState() & ~(Qt::WindowMinimized | Qt::WindowMaximized));
}

void applyAutoSize(QWidget* root)
{
    for (QLabel* l : root->findChildren<QLabel*>()) {
        const QVariant autoSize = l->property("autoSize");
        if (!autoSize.isValid())
            continue;
        const QPoint place = l->pos();
        const int width = l->width();
        l->adjustSize();
        if (autoSize.toString() == QLatin1String("height"))
            l->resize(width, l->height());
        l->move(place);
    }
}
