#pragma once

#include "Quillmere/Capture/Overlay/CaptureToastContent.h"
#include "Quillmere/Capture/Overlay/Widgets/TransientPanel.h"

namespace quillmere {

class Preferences;

// The short confirmation that drops from the top centre of the pointer's screen after a capture
// and goes back up 1.8 s later. Clicks pass through it.
class NotchCaptureToastController : public TransientPanel {
    Q_OBJECT
public:
    NotchCaptureToastController(const Preferences *preferences, const DesktopMotion *motion,
                                Clock clock = systemClock(), QWidget *parent = nullptr);

    bool isEnabled() const;
    // Makes the thumbnail off the main thread first, when the clip has one.
    void showFor(const ClipRef &clip);
    // `thumbnailSize`: the image's own size when its thumbnail is still being made; the row keeps
    // its place so the toast need not change size when it arrives.
    void present(const ClipRef &clip, const QImage &thumbnail, QSize thumbnailSize = {});
    void hideToast();

    const CaptureToastContent &content() const { return m_content; }
    // The toast's size for some content: the row, 16 at the sides, the top inset + 7 above, 9 below.
    QSize sizeFor(const CaptureToastContent &content, QSize pendingThumbnail = {}) const;

protected:
    void dismissWhenDue() override { hideToast(); }
    void paintContent(QPainter &painter) override;

private:
    QFont labelFont() const;
    void thumbnailArrived(quint64 serial, const QImage &thumbnail);

    const Preferences *m_preferences;
    CaptureToastContent m_content;
    quint64 m_thumbnailSerial = 0;
    QSize m_pendingThumbnail;
};

} // namespace quillmere
