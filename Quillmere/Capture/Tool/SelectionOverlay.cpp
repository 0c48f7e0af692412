#include "Quillmere/Capture/Tool/SelectionOverlay.h"

#include "Quillmere/Platform/X11Desktop.h"

#include <QCoreApplication>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QWindow>

namespace quillmere::screenshot {

SelectionOverlay::SelectionOverlay(QImage still, ScreenLayout layout, std::function<void(std::optional<QRect>)> done)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::BypassWindowManagerHint),
      m_still(std::move(still)), m_layout(layout), m_selection(m_layout.deviceGeometry().size()),
      m_done(std::move(done)), m_grab([this] { return windowHandle(); })
{
    m_still.setDevicePixelRatio(m_layout.devicePixelRatio);
    setWindowTitle(QStringLiteral("Brindlewax Area Selection"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(true);
    setCursor(Qt::CrossCursor);
    m_grab.onGaveUp = [this] { finish(std::nullopt); };
    QCoreApplication::instance()->installNativeEventFilter(this);
}

SelectionOverlay::~SelectionOverlay()
{
    QCoreApplication::instance()->removeNativeEventFilter(this);
}

bool SelectionOverlay::nativeEventFilter(const QByteArray &eventType, void *message, qintptr *)
{
    const std::optional<X11Desktop::PointerEvent> event = X11Desktop::pointerEvent(eventType, message);
    if (!event)
        return false;
    constexpr size_t kept = 16;
    if (event->kind == X11Desktop::PointerEvent::Kind::motion) {
        m_nativeMotion = event->root;
        return false;
    }
    // Buttons 4 to 7 are the wheel: Qt makes no press or release of them.
    if (event->button >= 4 && event->button <= 7)
        return false;
    auto &queue = event->kind == X11Desktop::PointerEvent::Kind::press ? m_nativePresses : m_nativeReleases;
    queue.push_back(event->root);
    if (queue.size() > kept)
        queue.pop_front();
    return false;
}

QPoint SelectionOverlay::devicePoint(const QMouseEvent *event, Pointer kind)
{
    std::optional<QPoint> native;
    auto take = [&](std::deque<QPoint> &queue) {
        if (!queue.empty()) {
            native = queue.front();
            queue.pop_front();
        }
    };
    switch (kind) {
    case Pointer::press:
        take(m_nativePresses);
        break;
    case Pointer::release:
        take(m_nativeReleases);
        break;
    case Pointer::motion:
        native = m_nativeMotion;
        break;
    }
    if (native)
        return *native - m_layout.deviceGeometry().topLeft();
    return m_layout.toDevice(event->position());
}

void SelectionOverlay::present()
{
    setGeometry(m_layout.logicalGeometry);
    show();
    raise();
    activateWindow();
    m_grab.start();
}

QRectF SelectionOverlay::toLocal(const QRect &deviceRect) const
{
    const qreal ratio = m_layout.devicePixelRatio;
    return QRectF(deviceRect.x() / ratio, deviceRect.y() / ratio, deviceRect.width() / ratio,
                  deviceRect.height() / ratio);
}

void SelectionOverlay::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.drawImage(QPointF(0, 0), m_still);

    const QRectF area = toLocal(m_selection.rect());
    QPainterPath shade;
    shade.addRect(QRectF(rect()));
    if (!area.isEmpty())
        shade.addRect(area);
    painter.fillPath(shade, QColor(0, 0, 0, 100));

    const QPointF pointer = toLocal(QRect(m_selection.pointer(), QSize(1, 1))).topLeft();
    if (m_pointerSeen) {
        // Crosshair guides across the whole screen.
        painter.setPen(QPen(QColor(255, 255, 255, 150), 0, Qt::DashLine));
        painter.drawLine(QPointF(0, pointer.y()), QPointF(width(), pointer.y()));
        painter.drawLine(QPointF(pointer.x(), 0), QPointF(pointer.x(), height()));
    }
    if (area.isEmpty())
        return;

    painter.setPen(QPen(Qt::white, 0));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(area);

    const QString readout = m_selection.sizeReadout();
    QFont font = painter.font();
    font.setPixelSize(12);
    painter.setFont(font);
    const QFontMetrics metrics(font);
    QRectF label(0, 0, metrics.horizontalAdvance(readout) + 14, metrics.height() + 6);
    label.moveTopLeft(pointer + QPointF(14, 14));
    if (label.right() > width())
        label.moveRight(pointer.x() - 14);
    if (label.bottom() > height())
        label.moveBottom(pointer.y() - 14);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0, 0, 0, 190));
    painter.drawRoundedRect(label, 5, 5);
    painter.setPen(Qt::white);
    painter.drawText(label, Qt::AlignCenter, readout);
}

void SelectionOverlay::mousePressEvent(QMouseEvent *event)
{
    const QPoint at = devicePoint(event, Pointer::press);
    if (event->button() == Qt::RightButton) {
        finish(std::nullopt);
        return;
    }
    if (event->button() != Qt::LeftButton)
        return;
    m_pointerSeen = true;
    m_selection.press(at);
    update();
}

void SelectionOverlay::mouseMoveEvent(QMouseEvent *event)
{
    m_pointerSeen = true;
    m_selection.move(devicePoint(event, Pointer::motion));
    update();
}

void SelectionOverlay::mouseReleaseEvent(QMouseEvent *event)
{
    const QPoint at = devicePoint(event, Pointer::release);
    if (event->button() != Qt::LeftButton)
        return;
    // A click without a drag selects nothing; the selection stays open.
    if (const auto area = m_selection.release(at))
        finish(area);
    update();
}

void SelectionOverlay::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape)
        finish(std::nullopt);
}

void SelectionOverlay::finish(std::optional<QRect> area)
{
    if (m_finished)
        return;
    m_finished = true;
    m_grab.release();
    hide();
    m_done(area);
}

} // namespace quillmere::screenshot
