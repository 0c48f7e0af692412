#pragma once

#include "Quillmere/Capture/Tool/ScreenshotToolCore.h"

#include <QImage>
#include <QTimer>
#include <QWidget>
#include <functional>

namespace quillmere::screenshot {

// A still of one screen, shown over it, on which the user drags out an area. The pointer and
// the keyboard are grabbed so that the selection gets every press, whatever window was in front.
class SelectionOverlay : public QWidget {
    Q_OBJECT
public:
    // `still`: the screen's pixels (device pixels). `done` gets the area in those pixels, or
    // nothing when the user cancelled.
    SelectionOverlay(QImage still, ScreenLayout layout, std::function<void(std::optional<QRect>)> done);

    void present();

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    void tryGrab();
    void finish(std::optional<QRect> area);
    QRectF toLocal(const QRect &deviceRect) const;

    QImage m_still;
    ScreenLayout m_layout;
    AreaSelection m_selection;
    std::function<void(std::optional<QRect>)> m_done;
    QTimer m_grabRetry;
    int m_grabAttempts = 0;
    bool m_finished = false;
    bool m_pointerSeen = false;
};

} // namespace quillmere::screenshot
