#include "Quillmere/App/NotchFileDrop.h"

#include "Quillmere/Platform/DragWatcher.h"
#include "Quillmere/Platform/TransientWindow.h"

#include <QDragEnterEvent>
#include <QGuiApplication>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>

namespace quillmere {

QRect notchDropFrame(const QRect &screenFrame, const QRect &availableFrame, std::optional<QSize> notch)
{
    int width = 260;
    int height = std::max(availableFrame.top() - screenFrame.top(), 22) + 12;
    if (notch) {
        width = notch->width() + 80;
        height = notch->height() + 12;
    }
    width = std::max(width, 220);
    height = std::max(height, 38);
    return QRect(screenFrame.center().x() + 1 - width / 2, screenFrame.top(), width, height);
}

NotchDropView::NotchDropView(DropHandler onDrop, QWidget *parent)
    : FileDropView(parent,
                   Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus
                       | Qt::X11BypassWindowManagerHint)
{
    setDropHandler(std::move(onDrop));
    // Without a compositor a window cannot be see-through: the strip is then the badge's shape,
    // always drawn, as the capture card and toast are.
    m_translucent = TransientWindow::compositorRunning();
    if (m_translucent)
        setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_ShowWithoutActivating);
}

QPainterPath NotchDropView::badgeOutline() const
{
    QPainterPath badge;
    badge.addRoundedRect(QRectF(rect()).adjusted(6, 5, -6, -5), 14, 14);
    return badge;
}

void NotchDropView::resizeEvent(QResizeEvent *event)
{
    FileDropView::resizeEvent(event);
    if (!m_translucent)
        setMask(QRegion(badgeOutline().toFillPolygon().toPolygon()));
}

void NotchDropView::paintEvent(QPaintEvent *)
{
    if (!isDropTargeted() && m_translucent)
        return;
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QPainterPath badge = badgeOutline();
    const QRectF r = badge.boundingRect();
    p.fillPath(badge, m_translucent ? QColor(0, 0, 0, int(0.86 * 255)) : QColor(12, 12, 14));
    p.setPen(isDropTargeted() ? QPen(QColor(10, 132, 255, int(0.95 * 255)), 2)
                              : QPen(QColor(255, 255, 255, int(0.25 * 255)), 1));
    p.drawPath(badge);

    // A page with a plus, in place of the system symbol.
    const QRectF icon(r.center().x() - 72, r.center().y() - 8, 16, 16);
    p.setPen(QPen(QColor(255, 255, 255, int(0.9 * 255)), 1.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawRoundedRect(icon.adjusted(2, 0, -4, -1), 2, 2);
    p.drawLine(QPointF(icon.right() - 3, icon.bottom() - 6), QPointF(icon.right() - 3, icon.bottom()));
    p.drawLine(QPointF(icon.right() - 6, icon.bottom() - 3), QPointF(icon.right(), icon.bottom() - 3));

    QFont font = p.font();
    font.setPixelSize(13);
    font.setWeight(QFont::DemiBold);
    p.setFont(font);
    p.setPen(QColor(255, 255, 255, int(0.92 * 255)));
    const QString text = QStringLiteral("Drop into Brindlewax");
    const QFontMetricsF metrics(font);
    p.drawText(QPointF(r.center().x() - 48, r.center().y() + (metrics.ascent() - metrics.descent()) / 2), text);
}

NotchFileDropController::NotchFileDropController(NotchDropView::DropHandler onDrop, QObject *parent)
    : QObject(parent), m_onDrop(std::move(onDrop))
{
}

NotchFileDropController::~NotchFileDropController() = default;

void NotchFileDropController::start()
{
    if (m_started)
        return;
    m_started = true;
    rebuildPanels();
    connect(qGuiApp, &QGuiApplication::screenAdded, this, &NotchFileDropController::rebuildPanels);
    connect(qGuiApp, &QGuiApplication::screenRemoved, this, &NotchFileDropController::rebuildPanels);
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        m_dragWatcher = std::make_unique<DragWatcher>();
        connect(m_dragWatcher.get(), &DragWatcher::dragStarted, this, [this] { setDragInProgress(true); });
        // Give the drop a moment to arrive before the strips go away.
        connect(m_dragWatcher.get(), &DragWatcher::dragEnded, this, [this] {
            // Tied to the watcher: a stop() in between cancels it.
            QTimer::singleShot(400, m_dragWatcher.get(), [this] {
                if (!m_dragWatcher->isDragging())
                    setDragInProgress(false);
            });
        });
    }
}

void NotchFileDropController::stop()
{
    if (!m_started)
        return;
    m_started = false;
    disconnect(qGuiApp, nullptr, this, nullptr);
    for (QScreen *screen : QGuiApplication::screens())
        disconnect(screen, nullptr, this, nullptr);
    m_dragWatcher.reset();
    // The drag's end will not be seen any more; a later start must not show the strips.
    m_dragging = false;
    for (auto &window : m_windows)
        window->hide();
}

std::unique_ptr<NotchDropView> NotchFileDropController::makeDropPanel(QScreen *screen)
{
    auto view = std::make_unique<NotchDropView>(m_onDrop);
    view->setGeometry(notchDropFrame(screen->geometry(), screen->availableGeometry()));
    return view;
}

void NotchFileDropController::rebuildPanels()
{
    for (auto &window : m_windows)
        window->hide();
    std::vector<std::unique_ptr<NotchDropView>> fresh;
    for (QScreen *screen : QGuiApplication::screens()) {
        fresh.push_back(makeDropPanel(screen));
        // A resized screen or a panel that grew or went away moves the strip.
        if (m_started) {
            connect(screen, &QScreen::geometryChanged, this, &NotchFileDropController::rebuildPanels,
                    Qt::UniqueConnection);
            connect(screen, &QScreen::availableGeometryChanged, this, &NotchFileDropController::rebuildPanels,
                    Qt::UniqueConnection);
        }
    }
    m_windows = std::move(fresh);
    setDragInProgress(m_dragging);
}

void NotchFileDropController::setDragInProgress(bool dragging)
{
    m_dragging = dragging;
    for (auto &window : m_windows)
        window->setVisible(dragging && m_started);
}

} // namespace quillmere
