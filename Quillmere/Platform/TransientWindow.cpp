#include "Quillmere/Platform/TransientWindow.h"

#include "Quillmere/Platform/XcbSupport.h"

#include <QGuiApplication>
#include <vector>
#include <xcb/xfixes.h>

namespace quillmere::TransientWindow {
namespace {

xcb_connection_t *connection()
{
    auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

// The shape kind of the input region (ShapeInput of the SHAPE extension).
constexpr uint8_t shapeInput = 2;

} // namespace

void applyHints(quintptr window)
{
    xcb_connection_t *c = connection();
    if (!c || !window)
        return;
    const xcb_atom_t stateAtom = internAtom(c, "_NET_WM_STATE");
    std::vector<xcb_atom_t> states;
    for (const char *name :
         {"_NET_WM_STATE_ABOVE", "_NET_WM_STATE_STICKY", "_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER"})
        states.push_back(internAtom(c, name));
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, xcb_window_t(window), stateAtom, XCB_ATOM_ATOM, 32,
                        uint32_t(states.size()), states.data());
    const uint32_t allDesktops = 0xFFFFFFFF;
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, xcb_window_t(window), internAtom(c, "_NET_WM_DESKTOP"),
                        XCB_ATOM_CARDINAL, 32, 1, &allDesktops);
    xcb_flush(c);
}

bool makeClickThrough(quintptr window)
{
    xcb_connection_t *c = connection();
    if (!c || !window)
        return false;
    XcbReply<xcb_xfixes_query_version_reply_t> version(
        xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 5, 0), nullptr));
    if (!version || version->major_version < 2)
        return false;
    const xcb_xfixes_region_t region = xcb_generate_id(c);
    xcb_xfixes_create_region(c, region, 0, nullptr);
    xcb_xfixes_set_window_shape_region(c, xcb_window_t(window), shapeInput, 0, 0, region);
    xcb_xfixes_destroy_region(c, region);
    xcb_flush(c);
    return true;
}

bool compositorRunning()
{
    xcb_connection_t *c = connection();
    if (!c)
        return false;
    const xcb_atom_t selection = internAtom(c, "_NET_WM_CM_S0", true);
    if (selection == XCB_ATOM_NONE)
        return false;
    XcbReply<xcb_get_selection_owner_reply_t> owner(
        xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, selection), nullptr));
    return owner && owner->owner != XCB_WINDOW_NONE;
}

} // namespace quillmere::TransientWindow
