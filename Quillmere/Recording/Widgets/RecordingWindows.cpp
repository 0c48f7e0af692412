#include "Quillmere/Recording/Widgets/RecordingWindows.h"

#include "Quillmere/Recording/RecordingGeometry.h"
#include "Quillmere/Recording/Widgets/RecordingGlyphs.h"

#include <QBitmap>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QToolButton>

namespace quillmere {

namespace {

constexpr Qt::WindowFlags floatingFlags = Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint
    | Qt::WindowDoesNotAcceptFocus | Qt::BypassWindowManagerHint;

QString squareStyle(const QColor &fill)
{
    return QStringLiteral("QToolButton { background: %1; border: none; border-radius: 6px; }")
        .arg(fill.name(QColor::HexArgb));
}

} // namespace

RecordingControlBar::RecordingControlBar(const QDateTime &startedAt, bool micEnabled,
                                         std::function<void(bool)> onToggleMute, std::function<void()> onStop)
    : QWidget(nullptr, floatingFlags), m_startedAt(startedAt), m_onToggleMute(std::move(onToggleMute))
{
    setWindowTitle(QStringLiteral("Brindlewax Recording"));
    setAttribute(Qt::WA_ShowWithoutActivating);
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(14, 8, 14, 8);
    layout->setSpacing(10);
    auto *dot = new QLabel(this);
    dot->setFixedSize(9, 9);
    dot->setStyleSheet(QStringLiteral("background: #ff3b30; border-radius: 4px;"));
    layout->addWidget(dot);
    m_clock = new QLabel(this);
    m_clock->setObjectName(QStringLiteral("clock"));
    QFont font = m_clock->font();
    font.setPixelSize(13);
    font.setWeight(QFont::DemiBold);
    font.setStyleHint(QFont::Monospace);
    m_clock->setFont(font);
    m_clock->setStyleSheet(QStringLiteral("color: white;"));
    layout->addWidget(m_clock);
    if (micEnabled) {
        m_mute = new QToolButton(this);
        m_mute->setObjectName(QStringLiteral("mute"));
        m_mute->setFixedSize(24, 24);
        m_mute->setIconSize(QSize(11, 11));
        m_mute->setFocusPolicy(Qt::NoFocus);
        connect(m_mute, &QToolButton::clicked, this, [this] {
            m_muted = !m_muted;
            refreshMute();
            if (m_onToggleMute)
                m_onToggleMute(m_muted);
        });
        layout->addWidget(m_mute);
        refreshMute();
    }
    m_stop = new QToolButton(this);
    m_stop->setObjectName(QStringLiteral("stop"));
    m_stop->setFixedSize(24, 24);
    m_stop->setIconSize(QSize(11, 11));
    m_stop->setFocusPolicy(Qt::NoFocus);
    m_stop->setIcon(recording::glyph(QStringLiteral("stop.fill"), Qt::white, 11));
    m_stop->setToolTip(QStringLiteral("Stop recording"));
    m_stop->setStyleSheet(squareStyle(QColor(0xff, 0x3b, 0x30)));
    connect(m_stop, &QToolButton::clicked, this, [onStop = std::move(onStop)] {
        if (onStop)
            onStop();
    });
    layout->addWidget(m_stop);
    tick();
    adjustSize();
    connect(&m_timer, &QTimer::timeout, this, &RecordingControlBar::tick);
    m_timer.start(250);
}

QString RecordingControlBar::clockText() const
{
    return m_clock->text();
}

void RecordingControlBar::tick()
{
    m_clock->setText(recording::elapsedText(m_startedAt.msecsTo(QDateTime::currentDateTimeUtc())));
}

void RecordingControlBar::refreshMute()
{
    m_mute->setIcon(
        recording::glyph(m_muted ? QStringLiteral("mic.slash.fill") : QStringLiteral("mic.fill"), Qt::white, 11));
    m_mute->setToolTip(m_muted ? QStringLiteral("Unmute microphone") : QStringLiteral("Mute microphone"));
    m_mute->setStyleSheet(squareStyle(m_muted ? QColor(0xff, 0x3b, 0x30) : QColor(255, 255, 255, 36)));
}

void RecordingControlBar::resizeEvent(QResizeEvent *)
{
    // A capsule without a compositor: the window itself takes the shape.
    QBitmap mask(size());
    mask.fill(Qt::color0);
    QPainter p(&mask);
    p.setBrush(Qt::color1);
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(rect(), height() / 2.0, height() / 2.0);
    setMask(mask);
}

void RecordingControlBar::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath capsule;
    const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    capsule.addRoundedRect(r, r.height() / 2, r.height() / 2);
    p.fillRect(rect(), QColor(20, 20, 20));
    p.setPen(QPen(QColor(255, 255, 255, 31), 1));
    p.drawPath(capsule);
}

RecordingRegionBorder::RecordingRegionBorder() : QWidget(nullptr, floatingFlags | Qt::WindowTransparentForInput)
{
    setWindowTitle(QStringLiteral("Brindlewax Recording Border"));
    setAttribute(Qt::WA_ShowWithoutActivating);
}

void RecordingRegionBorder::showAround(const QRect &region)
{
    const QRect frame = region.adjusted(-3, -3, 3, 3);
    setGeometry(frame);
    // Only the ring is window, so the recorded rectangle stays visible and clickable.
    setMask(QRegion(rect()).subtracted(QRegion(rect().adjusted(3, 3, -3, -3))));
    show();
    raise();
}

void RecordingRegionBorder::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    const QRectF b = rect();
    p.setPen(QPen(QColor(0, 0, 0, 115), 1));
    p.drawRect(b.adjusted(0.5, 0.5, -0.5, -0.5));
    p.setPen(QPen(QColor(0xff, 0x3b, 0x30), 2));
    p.drawRect(b.adjusted(2, 2, -2, -2));
}

} // namespace quillmere
