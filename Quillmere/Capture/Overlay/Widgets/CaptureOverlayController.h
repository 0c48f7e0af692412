#pragma once

#include "Quillmere/Capture/CaptureSettings.h"
#include "Quillmere/Capture/Overlay/CaptureCardActions.h"
#include "Quillmere/Capture/Overlay/Widgets/TransientPanel.h"

#include <QElapsedTimer>
#include <QImage>
#include <memory>

namespace quillmere {

class Preferences;

// The card in a corner of the pointer's screen after a screenshot or a saved recording: a
// thumbnail to drag out, and on hover the buttons that act on the clip. It leaves by itself after
// six seconds unless the pointer rests on it.
class CaptureOverlayController : public TransientPanel {
    Q_OBJECT
public:
    struct Environment {
        CaptureCardActions::Dependencies actions;
        // Also keeps the folder last saved into.
        Preferences *preferences = nullptr;
        const DesktopMotion *motion = nullptr;
        // The desktop's save dialog unless replaced; an empty answer cancels.
        std::function<QString(const CaptureCardActions::SaveRequest &)> askSaveDestination;
    };

    static constexpr int cardWidth = 182;
    static constexpr int cardHeight = 126;
    static constexpr int outerMargin = 14;
    static constexpr int cornerRadius = 22;

    explicit CaptureOverlayController(Environment environment, QWidget *parent = nullptr);
    ~CaptureOverlayController() override;

    std::shared_ptr<CaptureOverlayUploadProgress> showCard(const ClipRef &clip,
                                                           CaptureOverlayUploadProgress::Kind state);
    void dismiss();

    // For tests and the benchmark: what the card holds and where its parts are.
    CaptureCardActions *actions() const { return m_actions.get(); }
    bool isHovering() const { return m_hovering; }
    enum class Control { none, thumbnail, dismiss, pin, annotate, upload, copy, save };
    QRectF controlRect(Control control) const;
    // What the pointer's help says over a control.
    QString helpText(Control control) const;
    // Runs a control as a click on it would.
    void trigger(Control control);
    bool isImageReady() const { return !m_decoding; }

protected:
    void dismissWhenDue() override { dismiss(); }
    void paintContent(QPainter &painter) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    bool event(QEvent *event) override;

private:
    Control controlAt(QPointF point) const;
    void saveInBackground(const std::shared_ptr<CaptureCardActions> &actions,
                          const CaptureCardActions::SaveRequest &request, const QString &destination);
    void setHovering(bool hovering);
    void startDrag();
    void decodeImage(const ClipRef &clip);
    // A failed upload's reason, for screen readers as for the pointer's help.
    void describeUploadState();
    void paintHoverLayer(QPainter &painter);
    void paintIconButton(QPainter &painter, const QRectF &rect, const QString &glyph, const QColor &tint, bool shadow);
    void paintPill(QPainter &painter, const QRectF &rect, const QString &title);

    Environment m_environment;
    std::shared_ptr<CaptureCardActions> m_actions;
    QMetaObject::Connection m_progressConnection;
    QImage m_image;
    bool m_decoding = false;
    quint64 m_decodeSerial = 0;
    bool m_hovering = false;
    double m_hoverOpacity = 0;
    QVariantAnimation m_hoverFade;
    QTimer m_spinner;
    int m_spinnerStep = 0;
    Control m_pressed = Control::none;
    QPoint m_pressPosition;
    std::optional<QRectF> m_shownOn;
};

} // namespace quillmere
