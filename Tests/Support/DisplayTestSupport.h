#pragma once

// Images to copy around, and what tests on a real X display need to know about it.

#include <QBuffer>
#include <QDir>
#include <QFileInfo>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QTest>

#include <xcb/xcb.h>

#include <cstdlib>

namespace quillmere::test {

inline QByteArray encoded(const QImage &image, const char *format = "PNG")
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

inline QImage filled(int w, int h, QColor colour = Qt::darkCyan, QImage::Format format = QImage::Format_ARGB32)
{
    QImage image(w, h, format);
    image.fill(colour);
    return image;
}

inline QByteArray png(int w, int h, QColor colour = Qt::darkCyan)
{
    return encoded(filled(w, h, colour));
}

// Large black print, one line per row, that text recognition can read.
inline QImage paintedLines(const QStringList &lines, QColor background = Qt::white)
{
    QImage image = filled(700, 90 * int(lines.size()) + 40, background);
    QPainter painter(&image);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(44);
    painter.setFont(font);
    painter.setPen(Qt::black);
    for (int i = 0; i < lines.size(); ++i)
        painter.drawText(QRect(30, 20 + 90 * i, 640, 80), Qt::AlignLeft | Qt::AlignVCenter, lines[i]);
    return image;
}

inline bool onX11()
{
    return QGuiApplication::platformName() == QLatin1String("xcb");
}

inline bool windowManagerRunning()
{
    auto *x11 = onX11() ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t *c = x11 ? x11->connection() : nullptr;
    if (!c)
        return false;
    const char name[] = "_NET_SUPPORTING_WM_CHECK";
    auto *atom = xcb_intern_atom_reply(c, xcb_intern_atom(c, 1, sizeof name - 1, name), nullptr);
    const xcb_atom_t check = atom ? atom->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(atom);
    if (check == XCB_ATOM_NONE)
        return false;
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    auto *reply = xcb_get_property_reply(c, xcb_get_property(c, 0, root, check, XCB_ATOM_WINDOW, 0, 1), nullptr);
    const bool present = reply && xcb_get_property_value_length(reply) == 4;
    std::free(reply);
    return present;
}

// Reads the clipboard as another program does, keeping our event loop running so that we can
// answer while we own it.
inline QByteArray readWithXclip(const QString &target)
{
    QProcess process;
    process.start(QStringLiteral("xclip"),
                  {QStringLiteral("-o"), QStringLiteral("-selection"), QStringLiteral("clipboard"),
                   QStringLiteral("-t"), target});
    if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 10000))
        process.kill();
    return process.readAllStandardOutput();
}

// Where a test keeps a picture to be looked at: artifacts/ in the build folder, made on demand
// because tests run in any order.
inline QString artifactPath(const QString &name)
{
    const QString path = QDir::currentPath() + QStringLiteral("/artifacts/") + name;
    QDir().mkpath(QFileInfo(path).path());
    return path;
}

} // namespace quillmere::test
