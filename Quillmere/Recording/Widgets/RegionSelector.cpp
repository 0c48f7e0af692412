#include "Quillmere/Recording/Widgets/RegionSelector.h"

#include "Quillmere/Platform/Core/InBackground.h"
#include "Quillmere/Recording/RecordingGeometry.h"
#include "Quillmere/Recording/Widgets/RecordingSelectorHud.h"

#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QScreen>
#include <QWindow>

#include <cmath>

namespace quillmere {

namespace {

constexpr qreal clickDistance = 3.0;

} // namespace

RegionSelectionView::RegionSelectionView(QScreen *screen, Preferences *preferences)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::BypassWindowManagerHint),
      m_scale(screen->devicePixelRatio()), m_preferences(preferences), m_grab([this] { return windowHandle(); })
{
    setWindowTitle(QStringLiteral("Brindlewax Recording Selection"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_DeleteOnClose);
    setCursor(Qt::CrossCursor);
    setFocusPolicy(Qt::StrongFocus);
    // Without a compositor a window cannot be see-through, so it shows a still of the screen.
    m_still = screen
                  ->grabWindow(0, screen->geometry().x(), screen->geometry().y(), screen->geometry().width(),
                               screen->geometry().height())
                  .toImage();
    m_still.setDevicePixelRatio(m_scale);
    setGeometry(screen->geometry());
    // Asking the server may take half a second; never while the grabs are held on this thread.
    inBackground(
        this, [] { return RecordingAudioDevice::available(); },
        [this](QList<RecordingAudioDevice> devices) {
            m_devices = std::move(devices);
            if (m_hud)
                m_hud->setDevices(m_devices);
        });
    m_grab.onGaveUp = [this] {
        if (onCancel)
            onCancel();
    };
}

void RegionSelectionView::present()
{
    show();
    raise();
    activateWindow();
    m_grab.start();
}

void RegionSelectionView::drawPill(QPainter &painter, const QRectF &pill, qreal radius) const
{
    QPainterPath path;
    path.addRoundedRect(pill, radius, radius);
    painter.fillPath(path, QColor(0, 0, 0, 209));
    painter.setPen(QPen(QColor(255, 255, 255, 31), 1));
    painter.drawPath(path);
}

void RegionSelectionView::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.drawImage(QPointF(0, 0), m_still);
    p.fillRect(rect(), QColor(0, 0, 0, 102));
    const QRectF bounds = rect();
    if (!m_selection || m_selection->width() < 1 || m_selection->height() < 1) {
        if (m_phase != Phase::idle)
            return;
        QFont font = p.font();
        font.setPixelSize(12);
        font.setWeight(QFont::Medium);
        p.setFont(font);
        const QString hint = QStringLiteral("Drag to select · Space for full display · Esc to cancel");
        const QSizeF text = p.fontMetrics().size(Qt::TextSingleLine, hint);
        const QSizeF size(text.width() + 28, text.height() + 18);
        const QRectF pill = QRectF(bounds.center() - QPointF(size.width() / 2, size.height() / 2), size).toRect();
        p.setRenderHint(QPainter::Antialiasing);
        drawPill(p, pill, pill.height() / 2);
        p.setPen(QColor(255, 255, 255, 217));
        p.drawText(pill, Qt::AlignCenter, hint);
        return;
    }
    const QRectF sel = *m_selection;
    // The cut-out: the screen as it is, undimmed.
    p.drawImage(sel, m_still, QRectF(sel.topLeft() * m_scale, sel.size() * m_scale));
    p.setPen(QPen(QColor(0, 0, 0, 140), 1));
    p.drawRect(sel.adjusted(-1.5, -1.5, 1.5, 1.5));
    p.setPen(QPen(QColor(255, 255, 255, 242), 1));
    p.drawRect(sel.adjusted(-0.5, -0.5, 0.5, 0.5));
    if (m_phase != Phase::dragging)
        return;
    QFont font = p.font();
    font.setPixelSize(11);
    font.setWeight(QFont::Medium);
    font.setStyleHint(QFont::Monospace);
    p.setFont(font);
    const QString label = recording::pixelSizeLabel(sel, m_scale);
    const QSizeF text = p.fontMetrics().size(Qt::TextSingleLine, label);
    const QSizeF size(text.width() + 14, text.height() + 6);
    // At the corner being dragged, inside the selection.
    qreal x = sel.center().x() < m_pointer.x() ? m_pointer.x() - size.width() : m_pointer.x();
    qreal y = sel.center().y() < m_pointer.y() ? m_pointer.y() - 6 - size.height() : m_pointer.y() + 6;
    x = std::min(std::max(x, bounds.left() + 4), bounds.right() - size.width() - 4);
    y = std::min(std::max(y, bounds.top() + 4), bounds.bottom() - size.height() - 4);
    const QRectF pill = QRectF(QPointF(x, y), size).toRect();
    p.setRenderHint(QPainter::Antialiasing);
    drawPill(p, pill, 5);
    p.setPen(Qt::white);
    p.drawText(pill, Qt::AlignCenter, label);
}

void RegionSelectionView::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    if (m_hud) {
        m_hud->hide();
        m_hud->deleteLater();
        m_hud = nullptr;
    }
    m_phase = Phase::dragging;
    m_anchor = event->position();
    m_pointer = m_anchor;
    m_selection.reset();
    update();
}

void RegionSelectionView::mouseMoveEvent(QMouseEvent *event)
{
    if (m_phase != Phase::dragging)
        return;
    m_pointer = event->position();
    m_selection = recording::selectionRect(m_anchor, m_pointer, rect(), m_scale);
    update();
}

void RegionSelectionView::mouseReleaseEvent(QMouseEvent *event)
{
    if (m_phase != Phase::dragging || event->button() != Qt::LeftButton)
        return;
    const QPointF end = event->position();
    if (std::hypot(end.x() - m_anchor.x(), end.y() - m_anchor.y()) < clickDistance) {
        m_phase = Phase::idle;
        m_selection.reset();
        update();
        return;
    }
    m_phase = Phase::confirmed;
    m_selection = recording::selectionRect(m_anchor, end, rect(), m_scale);
    const QSize points(int(m_selection->width()), int(m_selection->height()));
    QPointer<RegionSelectionView> self(this);
    m_hud = new RecordingSelectorHud(
        points, m_preferences, m_devices,
        [self] {
            if (self)
                self->commit();
        },
        this);
    const QSize hudSize = m_hud->sizeHint();
    const QPointF origin = recording::floatingPanelOrigin(hudSize, m_selection, rect(), 12);
    m_hud->setGeometry(QRect(origin.toPoint(), hudSize));
    m_hud->show();
    update();
}

void RegionSelectionView::commit()
{
    if (m_phase == Phase::confirmed && m_selection && onCommit)
        onCommit(m_selection->toRect());
}

void RegionSelectionView::keyPressEvent(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        commit();
        return;
    case Qt::Key_Space:
        if (m_phase == Phase::idle && onFullScreen)
            onFullScreen();
        return;
    case Qt::Key_Escape:
        if (onCancel)
            onCancel();
        return;
    default:
        QWidget::keyPressEvent(event);
    }
}

RegionSelector::RegionSelector(QScreen *screen, Preferences *preferences, Completion completion, QObject *parent)
    : QObject(parent), m_screen(screen), m_completion(std::move(completion))
{
    m_view = new RegionSelectionView(screen, preferences);
    QPointer<RegionSelector> self(this);
    m_view->onCommit = [self](QRect r) {
        if (self)
            self->finish(r);
    };
    m_view->onFullScreen = [self] {
        if (self)
            self->finish(std::nullopt);
    };
    m_view->onCancel = [self] {
        if (self)
            self->dismiss();
    };
}

RegionSelector::~RegionSelector()
{
    if (m_view)
        m_view->close();
}

void RegionSelector::present()
{
    m_view->present();
}

void RegionSelector::finish(std::optional<QRect> viewRect)
{
    if (m_didFinish || !m_screen)
        return dismiss();
    const QRect screen = m_screen->geometry();
    RegionSelection selection{m_screen->name(), screen, m_screen->devicePixelRatio(), std::nullopt};
    if (viewRect)
        selection.rect = viewRect->translated(screen.topLeft());
    close(selection);
}

void RegionSelector::dismiss()
{
    close(std::nullopt);
}

void RegionSelector::close(std::optional<RegionSelection> result)
{
    if (m_didFinish)
        return;
    m_didFinish = true;
    if (m_view)
        m_view->close();
    // After the window has gone, never from inside its key or mouse handler.
    QTimer::singleShot(0, this, [this, result] {
        if (m_completion)
            m_completion(result);
    });
}

} // namespace quillmere
