#include "Quillmere/Platform/ScreenGrabber.h"

#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cstdlib>

namespace quillmere {

std::unique_ptr<ScreenGrabber> ScreenGrabber::open(const QByteArray &displayName, const QRect &source, QString *error)
{
    const auto fail = [error](const char *why) {
        if (error)
            *error = QString::fromLatin1(why);
        return nullptr;
    };
    if (source.isEmpty())
        return fail("empty capture rectangle");
    std::unique_ptr<ScreenGrabber> g(new ScreenGrabber);
    g->m_source = source;
    g->m_connection = xcb_connect(displayName.isEmpty() ? nullptr : displayName.constData(), nullptr);
    if (xcb_connection_has_error(g->m_connection))
        return fail("cannot connect to the X display");
    const xcb_setup_t *setup = xcb_get_setup(g->m_connection);
    const xcb_screen_t *screen = xcb_setup_roots_iterator(setup).data;
    if (!screen || screen->root_depth < 24)
        return fail("the X display has no 24-bit root window");
    g->m_root = screen->root;
    if (source.right() >= screen->width_in_pixels || source.bottom() >= screen->height_in_pixels || source.x() < 0
        || source.y() < 0)
        return fail("the capture rectangle is not on the display");

    const xcb_query_extension_reply_t *shm = xcb_get_extension_data(g->m_connection, &xcb_shm_id);
    if (!shm || !shm->present)
        return fail("the X display has no MIT-SHM");
    const size_t bytes = size_t(source.width()) * size_t(source.height()) * 4;
    g->m_shmId = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (g->m_shmId < 0)
        return fail("no shared memory for the frame");
    void *address = shmat(g->m_shmId, nullptr, 0);
    if (address == reinterpret_cast<void *>(-1)) {
        shmctl(g->m_shmId, IPC_RMID, nullptr);
        return fail("cannot map the frame's shared memory");
    }
    g->m_pixels = static_cast<uint8_t *>(address);
    g->m_segment = xcb_generate_id(g->m_connection);
    xcb_generic_error_t *attachError =
        xcb_request_check(g->m_connection, xcb_shm_attach_checked(g->m_connection, g->m_segment, g->m_shmId, 0));
    // Marked for removal now, so that a crash cannot leak the segment; it lives while attached.
    shmctl(g->m_shmId, IPC_RMID, nullptr);
    if (attachError) {
        std::free(attachError);
        g->m_segment = 0;
        return fail("the X server cannot attach the frame's shared memory");
    }

    const xcb_query_extension_reply_t *fixes = xcb_get_extension_data(g->m_connection, &xcb_xfixes_id);
    if (fixes && fixes->present) {
        auto *version = xcb_xfixes_query_version_reply(
            g->m_connection, xcb_xfixes_query_version(g->m_connection, XCB_XFIXES_MAJOR_VERSION, 0), nullptr);
        g->m_cursor = version && version->major_version >= 1;
        std::free(version);
    }
    return g;
}

ScreenGrabber::~ScreenGrabber()
{
    if (m_connection) {
        if (m_segment && !xcb_connection_has_error(m_connection))
            xcb_shm_detach(m_connection, m_segment);
        xcb_disconnect(m_connection);
    }
    if (m_pixels)
        shmdt(m_pixels);
}

bool ScreenGrabber::grab()
{
    if (xcb_connection_has_error(m_connection))
        return false;
    xcb_generic_error_t *error = nullptr;
    auto *reply =
        xcb_shm_get_image_reply(m_connection,
                                xcb_shm_get_image(m_connection, m_root, int16_t(m_source.x()), int16_t(m_source.y()),
                                                  uint16_t(m_source.width()), uint16_t(m_source.height()), ~0u,
                                                  XCB_IMAGE_FORMAT_Z_PIXMAP, m_segment, 0),
                                &error);
    const bool ok = reply && !error;
    std::free(reply);
    std::free(error);
    if (!ok)
        return false;
    if (m_cursor)
        drawCursor();
    return true;
}

void ScreenGrabber::drawCursor()
{
    auto *cursor = xcb_xfixes_get_cursor_image_reply(m_connection, xcb_xfixes_get_cursor_image(m_connection), nullptr);
    if (!cursor)
        return;
    const uint32_t *image = xcb_xfixes_get_cursor_image_cursor_image(cursor);
    const int left = cursor->x - cursor->xhot - m_source.x();
    const int top = cursor->y - cursor->yhot - m_source.y();
    for (int cy = 0; cy < cursor->height; ++cy) {
        const int y = top + cy;
        if (y < 0 || y >= m_source.height())
            continue;
        auto *row = reinterpret_cast<uint32_t *>(m_pixels + size_t(y) * size_t(stride()));
        for (int cx = 0; cx < cursor->width; ++cx) {
            const int x = left + cx;
            if (x < 0 || x >= m_source.width())
                continue;
            // The cursor image is premultiplied ARGB.
            const uint32_t src = image[cy * cursor->width + cx];
            const uint32_t alpha = src >> 24;
            if (alpha == 0)
                continue;
            const uint32_t dst = row[x];
            uint32_t out = 0;
            for (int shift = 0; shift < 24; shift += 8) {
                const uint32_t s = (src >> shift) & 0xff;
                const uint32_t d = (dst >> shift) & 0xff;
                out |= std::min<uint32_t>(255, s + d * (255 - alpha) / 255) << shift;
            }
            row[x] = out;
        }
    }
    std::free(cursor);
}

} // namespace quillmere
