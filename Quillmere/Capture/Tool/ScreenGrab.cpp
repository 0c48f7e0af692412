#include "Quillmere/Capture/Tool/ScreenGrab.h"

#include <QCursor>
#include <QGuiApplication>
#include <QScreen>

namespace quillmere::screenshot {

QScreen *screenWithPointer()
{
    if (QScreen *screen = QGuiApplication::screenAt(QCursor::pos()))
        return screen;
    return QGuiApplication::primaryScreen();
}

} // namespace quillmere::screenshot
