#pragma once

#include "Quillmere/Platform/InputGrab.h"
#include "Quillmere/Recording/RecordingTypes.h"
#include "Quillmere/Recording/Widgets/RecordingSelectorHud.h"

#include <QImage>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <optional>

class QScreen;

namespace quillmere {

class Preferences;

// Covers one screen with a dimmed still of it: drag a rectangle, then Return or "Record Video";
// Space takes the whole screen, Escape cancels. Coordinates are the window's own (logical).
class RegionSelectionView : public QWidget {
    Q_OBJECT
public:
    enum class Phase { idle, dragging, confirmed };

    RegionSelectionView(QScreen *screen, Preferences *preferences);

    std::function<void(QRect)> onCommit;
    std::function<void()> onFullScreen;
    std::function<void()> onCancel;

    void present();
    Phase phase() const { return m_phase; }
    std::optional<QRectF> selection() const { return m_selection; }
    RecordingSelectorHud *hud() const { return m_hud; }
    // Keyboard and pointer are ours.
    bool isGrabbing() const { return m_grab.isHeld(); }

protected:
    void paintEvent(QPaintEvent *) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    void commit();
    void drawPill(QPainter &painter, const QRectF &pill, qreal radius) const;

    QImage m_still;
    qreal m_scale = 1;
    Preferences *m_preferences = nullptr;
    Phase m_phase = Phase::idle;
    QPointF m_anchor;
    std::optional<QRectF> m_selection;
    QPointF m_pointer;
    QPointer<RecordingSelectorHud> m_hud;
    QList<RecordingAudioDevice> m_devices;
    InputGrab m_grab;
};

// The one open selector: finishes once, after its window has gone, on the next turn of the loop.
class RegionSelector : public QObject {
    Q_OBJECT
public:
    using Completion = std::function<void(std::optional<RegionSelection>)>;

    RegionSelector(QScreen *screen, Preferences *preferences, Completion completion, QObject *parent = nullptr);
    ~RegionSelector() override;

    void present();
    void finish(std::optional<QRect> viewRect);
    void dismiss();
    bool didFinish() const { return m_didFinish; }
    RegionSelectionView *view() const { return m_view; }

private:
    void close(std::optional<RegionSelection> result);

    QPointer<QScreen> m_screen;
    Completion m_completion;
    QPointer<RegionSelectionView> m_view;
    bool m_didFinish = false;
};

} // namespace quillmere
