#pragma once
// The common frame of the settings dialogs: fixed size with only a close box, always on top,
// centred on the screen, Tahoma with 11-pixel characters.
class QLabel;
class QWidget;

void applyDialogLook(QWidget* dialog, int clientWidth, int clientHeight);
// Raises the window above its siblings and restores it from minimised or maximised.
void bringToFront(QWidget* window);
// A label named `name` at (x, y) in its natural size.
QLabel* label(QWidget* parent, const char* name, const char* text, int x, int y);
