#include "Quillmere/Platform/FrontApplication.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QLocale>
#include <QStandardPaths>

#include <xcb/xcb.h>

#include "Quillmere/Platform/XcbSupport.h"

#include <cstdlib>
#include <cstring>
#include <memory>

namespace quillmere {
namespace {

QByteArray property(xcb_connection_t *c, xcb_window_t window, xcb_atom_t name, xcb_atom_t type, uint32_t maxLongs)
{
    if (name == XCB_ATOM_NONE)
        return {};
    XcbReply<xcb_get_property_reply_t> reply(
        xcb_get_property_reply(c, xcb_get_property(c, 0, window, name, type, 0, maxLongs), nullptr));
    if (!reply || reply->type == XCB_ATOM_NONE)
        return {};
    const int length = xcb_get_property_value_length(reply.get());
    return QByteArray(static_cast<const char *>(xcb_get_property_value(reply.get())), length);
}

quint32 firstCardinal(const QByteArray &bytes)
{
    if (bytes.size() < 4)
        return 0;
    quint32 value = 0;
    std::memcpy(&value, bytes.constData(), sizeof value);
    return value;
}

QString processName(qint64 pid)
{
    if (pid <= 0)
        return {};
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(comm.read(256)).trimmed();
}

} // namespace

std::optional<FrontApplication> currentFrontApplication()
{
    auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t *c = x11 ? x11->connection() : nullptr;
    if (!c)
        return std::nullopt;
    const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    if (!screen)
        return std::nullopt;

    const xcb_window_t window =
        firstCardinal(property(c, screen->root, internAtom(c, "_NET_ACTIVE_WINDOW", true), XCB_ATOM_WINDOW, 1));
    if (window == XCB_WINDOW_NONE)
        return std::nullopt;

    FrontApplication app;
    app.window = window;
    app.pid = firstCardinal(property(c, window, internAtom(c, "_NET_WM_PID", true), XCB_ATOM_CARDINAL, 1));
    const QList<QByteArray> wmClass = property(c, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 256).split('\0');
    if (!wmClass.isEmpty())
        app.wmClassInstance = QString::fromLocal8Bit(wmClass.value(0));
    app.wmClassName = QString::fromLocal8Bit(wmClass.value(1));

    app.name = !app.wmClassName.isEmpty() ? app.wmClassName : processName(app.pid);
    return app;
}

} // namespace quillmere
