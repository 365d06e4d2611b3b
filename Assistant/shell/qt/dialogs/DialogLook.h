#pragma once
// The common frame of the settings dialogs: fixed size with only a close box, always on top,
// centred on the screen, Tahoma with 11-pixel characters.
class QWidget;

void applyDialogLook(QWidget* dialog, int clientWidth, int clientHeight);
// Raises the window above its siblings and restores it from minimised or maximised.
void bringToFront(QWidget* window);
// Sizes the labels under root whose form gives them the property "autoSize" to their text in the
// current font, keeping their place: true sizes width and height, "height" only the height (the
// width stays as the form gives it). Called after the form is set up and the font is chosen.
void applyAutoSize(QWidget* root);
