#pragma once

#include <QString>

class QDialog;
class QWidget;

namespace quillmere::DialogTitle {

// The title as the window manager draws it: Qt adds " — " and the program's display name.
QString shown(const QString &title);

// The width a window needs for its shown title in the frame: the text in a bold title font, and
// room for the frame's icon and buttons.
int neededWidth(const QWidget *window);

// Makes an alert or a sheet wide enough for its title, so the frame never cuts it ("Could… Item"),
// and keeps sheets at their layout's size: a window that cannot be resized has no resize handle
// under it. Call once the dialog's title and layout are set, before it is shown.
void fit(QDialog *dialog);

} // namespace quillmere::DialogTitle
