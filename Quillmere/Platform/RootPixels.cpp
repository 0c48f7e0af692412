#include "Quillmere/Platform/RootPixels.h"

#include "Quillmere/Platform/XcbSupport.h"

#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <algorithm>
#include <cstring>

namespace quillmere {
namespace {

xcb_connection_t *qtConnection()
{
    auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

// The pixmap format of `depth`: bits per pixel and scanline padding.
const xcb_format_t *formatForDepth(const xcb_setup_t *setup, quint8 depth)
{
    const xcb_format_t *formats = xcb_setup_pixmap_formats(setup);
    for (int i = 0; i < xcb_setup_pixmap_formats_length(setup); ++i)
        if (formats[i].depth == depth)
            return &formats[i];
    return nullptr;
}

} // namespace

QImage grabRootPixels(const QRect &deviceRect)
{
    xcb_connection_t *c = qtConnection();
    if (!c || deviceRect.isEmpty())
        return {};
    const xcb_setup_t *setup = xcb_get_setup(c);
    const xcb_screen_t *root = xcb_setup_roots_iterator(setup).data;
    const QRect bounds = deviceRect.intersected(QRect(0, 0, root->width_in_pixels, root->height_in_pixels));
    const xcb_format_t *format = formatForDepth(setup, root->root_depth);
    // 24 and 32 bit true colour is what every X server of this decade serves; anything else is
    // left to Qt's own grab.
    if (bounds.isEmpty() || !format || format->bits_per_pixel != 32 || root->root_depth < 24
        || setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) {
        QScreen *screen = QGuiApplication::primaryScreen();
        return screen ? screen->grabWindow(0, bounds.x(), bounds.y(), bounds.width(), bounds.height()).toImage()
                      : QImage();
    }

    QImage image(bounds.size(), QImage::Format_RGB32);
    // Strips of at most 8 MiB keep each reply well inside what servers allow.
    const int stripRows = std::max(1, int((8 << 20) / (bounds.width() * 4)));
    for (int y = 0; y < bounds.height(); y += stripRows) {
        const int rows = std::min(stripRows, bounds.height() - y);
        xcb_generic_error_t *error = nullptr;
        XcbReply<xcb_get_image_reply_t> reply(
            xcb_get_image_reply(c,
                                xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, root->root, qint16(bounds.x()),
                                              qint16(bounds.y() + y), quint16(bounds.width()), quint16(rows), ~0u),
                                &error));
        std::free(error);
        if (!reply)
            return {};
        const uint8_t *data = xcb_get_image_data(reply.get());
        const int length = xcb_get_image_data_length(reply.get());
        const int stride = length / rows;
        if (stride < bounds.width() * 4)
            return {};
        for (int row = 0; row < rows; ++row) {
            auto *line = reinterpret_cast<quint32 *>(image.scanLine(y + row));
            std::memcpy(line, data + row * stride, size_t(bounds.width()) * 4);
            // Depth 24 leaves the top byte undefined.
            for (int x = 0; x < bounds.width(); ++x)
                line[x] |= 0xff000000u;
        }
    }
    return image;
}

} // namespace quillmere
