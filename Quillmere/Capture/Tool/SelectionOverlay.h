#pragma once

#include "Quillmere/Capture/Tool/ScreenshotToolCore.h"
#include "Quillmere/Platform/InputGrab.h"

#include <QAbstractNativeEventFilter>
#include <QImage>
#include <QTimer>
#include <QWidget>
#include <deque>
#include <functional>

namespace quillmere::screenshot {

// A still of one screen, shown over it, on which the user drags out an area. The pointer and
// the keyboard are grabbed so that the selection gets every press, whatever window was in front.
class SelectionOverlay : public QWidget, public QAbstractNativeEventFilter {
    Q_OBJECT
public:
    // `still`: the screen's pixels (device pixels). `done` gets the area in those pixels, or
    // nothing when the user cancelled.
    SelectionOverlay(QImage still, ScreenLayout layout, std::function<void(std::optional<QRect>)> done);

    ~SelectionOverlay() override;

    void present();

    // Keeps the exact root position of each pointer event: Qt rounds positions to logical pixels,
    // which on a scaled screen loses every odd device pixel. Qt reads a whole batch of events
    // before it delivers the first, so presses and releases are queued in their order.
    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *result) override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    void finish(std::optional<QRect> area);
    QRectF toLocal(const QRect &deviceRect) const;
    enum class Pointer { press, release, motion };
    QPoint devicePoint(const QMouseEvent *event, Pointer kind);

    QImage m_still;
    ScreenLayout m_layout;
    AreaSelection m_selection;
    std::function<void(std::optional<QRect>)> m_done;
    InputGrab m_grab;
    bool m_finished = false;
    bool m_pointerSeen = false;
    // Root coordinates of pointer events read but not yet delivered.
    std::deque<QPoint> m_nativePresses;
    std::deque<QPoint> m_nativeReleases;
    std::optional<QPoint> m_nativeMotion;
};

} // namespace quillmere::screenshot
