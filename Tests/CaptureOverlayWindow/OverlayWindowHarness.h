#pragma once

#include "Quillmere/Capture/Overlay/Widgets/CaptureOverlayPresenter.h"
#include "Quillmere/Clipboard/PasteboardWriter.h"
#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Model/ModelContainer.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/Pasteboard.h"
#include "Quillmere/Platform/XcbSupport.h"
#include "Support/DisplayTestSupport.h"
#include "Support/TestSupport.h"

#include <QNetworkAccessManager>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QWidget>
#include <gtest/gtest.h>

namespace quillmere::test {

inline xcb_connection_t *xcb()
{
    return qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->connection();
}

inline xcb_window_t rootWindow()
{
    return xcb_setup_roots_iterator(xcb_get_setup(xcb())).data->root;
}

inline xcb_window_t activeWindow()
{
    XcbReply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        xcb(),
        xcb_get_property(xcb(), false, rootWindow(), internAtom(xcb(), "_NET_ACTIVE_WINDOW"), XCB_ATOM_WINDOW, 0, 1),
        nullptr));
    if (!reply || xcb_get_property_value_length(reply.get()) < 4)
        return XCB_WINDOW_NONE;
    return *static_cast<xcb_window_t *>(xcb_get_property_value(reply.get()));
}

inline bool isViewable(QWidget &widget)
{
    XcbReply<xcb_get_window_attributes_reply_t> reply(xcb_get_window_attributes_reply(
        xcb(), xcb_get_window_attributes(xcb(), xcb_window_t(widget.winId())), nullptr));
    return reply && reply->map_state == XCB_MAP_STATE_VIEWABLE;
}

// Where the server has the window, in root coordinates.
inline QPoint serverPosition(QWidget &widget)
{
    XcbReply<xcb_translate_coordinates_reply_t> reply(xcb_translate_coordinates_reply(
        xcb(), xcb_translate_coordinates(xcb(), xcb_window_t(widget.winId()), rootWindow(), 0, 0), nullptr));
    return reply ? QPoint(reply->dst_x, reply->dst_y) : QPoint(-99999, -99999);
}

inline QList<xcb_atom_t> windowStates(QWidget &widget)
{
    XcbReply<xcb_get_property_reply_t> reply(
        xcb_get_property_reply(xcb(),
                               xcb_get_property(xcb(), false, xcb_window_t(widget.winId()),
                                                internAtom(xcb(), "_NET_WM_STATE"), XCB_ATOM_ATOM, 0, 32),
                               nullptr));
    QList<xcb_atom_t> atoms;
    if (!reply)
        return atoms;
    const auto *values = static_cast<xcb_atom_t *>(xcb_get_property_value(reply.get()));
    for (int i = 0; i < xcb_get_property_value_length(reply.get()) / 4; ++i)
        atoms << values[i];
    return atoms;
}

inline std::optional<quint32> windowDesktop(QWidget &widget)
{
    XcbReply<xcb_get_property_reply_t> reply(
        xcb_get_property_reply(xcb(),
                               xcb_get_property(xcb(), false, xcb_window_t(widget.winId()),
                                                internAtom(xcb(), "_NET_WM_DESKTOP"), XCB_ATOM_CARDINAL, 0, 1),
                               nullptr));
    if (!reply || xcb_get_property_value_length(reply.get()) < 4)
        return std::nullopt;
    return *static_cast<quint32 *>(xcb_get_property_value(reply.get()));
}

// The place of the window's top-level frame among the root's children, bottom first.
inline int stackingIndex(QWidget &widget)
{
    xcb_window_t window = xcb_window_t(widget.winId());
    for (;;) {
        XcbReply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(xcb(), xcb_query_tree(xcb(), window), nullptr));
        if (!tree)
            return -1;
        if (tree->parent == rootWindow())
            break;
        window = tree->parent;
    }
    XcbReply<xcb_query_tree_reply_t> root(xcb_query_tree_reply(xcb(), xcb_query_tree(xcb(), rootWindow()), nullptr));
    const xcb_window_t *children = xcb_query_tree_children(root.get());
    for (int i = 0; i < xcb_query_tree_children_length(root.get()); ++i)
        if (children[i] == window)
            return i;
    return -1;
}

inline bool xdotool(const QStringList &arguments)
{
    return QProcess::execute(QStringLiteral("xdotool"), arguments) == 0;
}

// A display with a window manager, the tools the tests drive it with, and the card and toast
// over a store in memory and the real clipboard.
struct OverlayWindowHarness {
    TempPreferences prefs;
    NotificationCenter center;
    SystemPasteboard pasteboard;
    PasteboardWriter writer{pasteboard, center};
    std::unique_ptr<ClipStore> store = std::make_unique<ClipStore>(
        ModelContainer::open(QString(), systemClock(), nullptr), ClipStoreDependencies{prefs.prefs.get(), &center});
    QTemporaryDir temporaryRoot;
    QNetworkAccessManager network;
    std::optional<QString> secret;
    // Stands in for the save dialog.
    std::function<QString(const CaptureCardActions::SaveRequest &)> answerSaveDialog;
    std::unique_ptr<CaptureOverlayPresenter> presenter;

    OverlayWindowHarness()
    {
        EXPECT_TRUE(onX11()) << "needs an X display (tools/test runs one)";
        EXPECT_TRUE(windowManagerRunning()) << "needs a window manager on the display";
        EXPECT_FALSE(QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty()) << "needs xdotool";
        CaptureOverlayController::Environment environment;
        environment.actions.store = store.get();
        environment.actions.writer = &writer;
        environment.actions.temporaryRoot = temporaryRoot.path();
        environment.actions.open = [](const QUrl &) { return true; };
        environment.actions.uploads.preferences = prefs.prefs.get();
        environment.actions.uploads.environment = [this] {
            UploadEnvironment env;
            env.network = &network;
            env.preferences = prefs.prefs.get();
            env.allowLoopbackHttp = true;
            return env;
        };
        environment.actions.uploads.readSecret = [this](QObject *, std::function<void(std::optional<QString>)> done) {
            done(secret);
        };
        environment.preferences = prefs.prefs.get();
        environment.askSaveDestination = [this](const CaptureCardActions::SaveRequest &request) {
            return answerSaveDialog ? answerSaveDialog(request) : QString();
        };
        presenter = std::make_unique<CaptureOverlayPresenter>(std::move(environment));
        xdotool({QStringLiteral("mousemove"), QStringLiteral("800"), QStringLiteral("500")});
    }

    CaptureOverlayController &card() { return presenter->card(); }
    NotchCaptureToastController &toast() { return presenter->toast(); }

    ClipRef screenshot(const QByteArray &png)
    {
        CapturedContent content;
        content.kind = ClipKind::image;
        content.imageData = png;
        content.sourceAppName = QStringLiteral("Quillmere Capture");
        return store->insertClip(content);
    }
    ClipRef text(const QString &words)
    {
        CapturedContent content;
        content.text = words;
        return store->insertClip(content);
    }

    // On screen, at rest where it was going.
    bool settled(TransientPanel &panel)
    {
        return panel.isVisible() && isViewable(panel) && !panel.isSliding()
            && serverPosition(panel) == panel.slideTarget();
    }
    bool gone(TransientPanel &panel) { return !panel.isVisible() && !isViewable(panel); }
    QPoint centreOf(QWidget &widget, QRectF local = {})
    {
        const QRectF r = local.isNull() ? QRectF(widget.rect()) : local;
        return serverPosition(widget) + r.center().toPoint();
    }
    bool moveTo(QPoint p)
    {
        return xdotool({QStringLiteral("mousemove"), QString::number(p.x()), QString::number(p.y())});
    }
};

} // namespace quillmere::test
