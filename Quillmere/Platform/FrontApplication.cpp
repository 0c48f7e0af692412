#include "Quillmere/Platform/FrontApplication.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QLocale>
#include <QStandardPaths>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace quillmere {
namespace {

constexpr qint64 maxDesktopEntryBytes = 256 * 1024;

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
template <typename T>
using XcbReply = std::unique_ptr<T, FreeDeleter>;

xcb_atom_t atom(xcb_connection_t *c, const char *name)
{
    XcbReply<xcb_intern_atom_reply_t> reply(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 1, uint16_t(qstrlen(name)), name), nullptr));
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

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

// The entry's Name in the user's language where it has one.
QString desktopEntryName(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > maxDesktopEntryBytes)
        return {};
    const QString locale = QLocale::system().name(); // e.g. de_DE
    const QString language = locale.section(QLatin1Char('_'), 0, 0);
    QString plain, forLanguage, forLocale;
    bool inMainGroup = false;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &raw : lines) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inMainGroup = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        if (!inMainGroup)
            continue;
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq <= 0)
            continue;
        const QString key = line.left(eq).trimmed();
        const QString value = line.mid(eq + 1).trimmed();
        if (key == QLatin1String("Name"))
            plain = value;
        else if (key == QStringLiteral("Name[%1]").arg(locale))
            forLocale = value;
        else if (key == QStringLiteral("Name[%1]").arg(language))
            forLanguage = value;
    }
    if (!forLocale.isEmpty())
        return forLocale;
    if (!forLanguage.isEmpty())
        return forLanguage;
    return plain;
}

} // namespace

QStringList xdgApplicationDirs()
{
    return QStandardPaths::standardLocations(QStandardPaths::ApplicationsLocation);
}

std::optional<DesktopEntryMatch> findDesktopEntryForWindowClass(const QString &instance, const QString &className,
                                                              const QStringList &applicationDirs)
{
    QStringList candidates;
    for (const QString &name : {instance, className, instance.toLower(), className.toLower()}) {
        // Window classes come from other programs: never let one walk out of the folder.
        if (name.isEmpty() || name.contains(QLatin1Char('/')) || name.startsWith(QLatin1Char('.')))
            continue;
        if (!candidates.contains(name))
            candidates.append(name);
    }
    for (const QString &dir : applicationDirs) {
        for (const QString &id : candidates) {
            const QString path = QDir(dir).filePath(id + QStringLiteral(".desktop"));
            if (!QFile::exists(path))
                continue;
            return DesktopEntryMatch{id, desktopEntryName(path)};
        }
    }
    return std::nullopt;
}

std::optional<FrontApplication> currentFrontApplication()
{
    auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t *c = x11 ? x11->connection() : nullptr;
    if (!c)
        return std::nullopt;
    const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    if (!screen)
        return std::nullopt;

    const xcb_window_t window = firstCardinal(
        property(c, screen->root, atom(c, "_NET_ACTIVE_WINDOW"), XCB_ATOM_WINDOW, 1));
    if (window == XCB_WINDOW_NONE)
        return std::nullopt;

    FrontApplication app;
    app.window = window;
    app.pid = firstCardinal(property(c, window, atom(c, "_NET_WM_PID"), XCB_ATOM_CARDINAL, 1));
    const QList<QByteArray> wmClass = property(c, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 256).split('\0');
    if (!wmClass.isEmpty())
        app.wmClassInstance = QString::fromLocal8Bit(wmClass.value(0));
    app.wmClassName = QString::fromLocal8Bit(wmClass.value(1));

    if (const auto entry = findDesktopEntryForWindowClass(app.wmClassInstance, app.wmClassName, xdgApplicationDirs())) {
        app.desktopFileId = entry->id;
        app.name = entry->name;
    }
    if (app.name.isEmpty())
        app.name = !app.wmClassName.isEmpty() ? app.wmClassName : processName(app.pid);
    return app;
}

} // namespace quillmere
