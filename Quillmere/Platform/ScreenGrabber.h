#pragma once

#include <QByteArray>
#include <QRect>
#include <QString>
#include <cstdint>
#include <memory>

struct xcb_connection_t;

namespace quillmere {

// Pixels of one rectangle of the X root window through shared memory, with the pointer drawn in
// (XFixes). Its own connection, so that it can live on the capture thread.
class ScreenGrabber {
public:
    static std::unique_ptr<ScreenGrabber> open(const QByteArray &displayName, const QRect &source, QString *error);
    ~ScreenGrabber();
    ScreenGrabber(const ScreenGrabber &) = delete;
    ScreenGrabber &operator=(const ScreenGrabber &) = delete;

    // Grabs into the shared buffer (32-bit BGRX, `stride()` bytes a row); false when the display
    // is gone or the rectangle no longer lies on it.
    bool grab();
    const uint8_t *pixels() const { return m_pixels; }
    int stride() const { return m_source.width() * 4; }
    QSize size() const { return m_source.size(); }

private:
    ScreenGrabber() = default;
    void drawCursor();

    xcb_connection_t *m_connection = nullptr;
    uint32_t m_root = 0;
    uint32_t m_segment = 0;
    int m_shmId = -1;
    uint8_t *m_pixels = nullptr;
    QRect m_source;
    bool m_cursor = false;
};

} // namespace quillmere
