#include "Quillmere/Onboarding/OnboardingKit.h"

#include "Quillmere/Onboarding/OnboardingPalette.h"
#include "Quillmere/Settings/Glyphs.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>
#include <QStyleOptionComboBox>
#include <QVBoxLayout>

namespace quillmere {

namespace P = OnboardingPalette;

namespace {

constexpr double kGlyphScale = 1.2; // symbols read a little larger than text of the same size

void paintGlyph(QPainter &p, const QString &name, const QPointF &centre, double size, const QColor &colour)
{
    const double side = size * kGlyphScale;
    Glyphs::paint(p, name, QRectF(centre.x() - side / 2, centre.y() - side / 2, side, side), colour);
}

// A capsule filled and outlined inside `r`, its 1-pt line on the pixel grid.
void paintCapsule(QPainter &p, const QRectF &r, const QColor &fill, const QColor &stroke)
{
    const QRectF inner = r.adjusted(0.5, 0.5, -0.5, -0.5);
    const double radius = inner.height() / 2;
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    p.drawRoundedRect(inner, radius, radius);
    if (stroke.alpha() > 0) {
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(stroke, 1));
        p.drawRoundedRect(inner, radius, radius);
    }
}

void paintFocusRing(QPainter &p, const QRectF &r, double radius)
{
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(P::withOpacity(P::accent(), 0.9), 2));
    p.drawRoundedRect(r.adjusted(1, 1, -1, -1), radius, radius);
}

} // namespace

QLabel *makeOnboardingLabel(const QString &text, double size, QFont::Weight weight, const QColor &colour, bool wraps,
                            QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setFont(P::font(size, weight));
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(wraps);
    if (wraps) {
        // As tall as its lines at the width it gets, never taller.
        QSizePolicy policy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        policy.setHeightForWidth(true);
        label->setSizePolicy(policy);
    }
    setOnboardingLabelColour(label, colour);
    return label;
}

void setOnboardingLabelColour(QLabel *label, const QColor &colour)
{
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
}

// ---- Badge and pill ----------------------------------------------------------------------------

OnboardingIconBadge::OnboardingIconBadge(const QString &systemImage, const QColor &tint, QWidget *parent)
    : QWidget(parent), m_symbol(systemImage), m_tint(tint)
{
    setFixedSize(32, 32);
}

void OnboardingIconBadge::set(const QString &systemImage, const QColor &tint)
{
    if (systemImage == m_symbol && tint == m_tint)
        return;
    m_symbol = systemImage;
    m_tint = tint;
    update();
}

void OnboardingIconBadge::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(P::withOpacity(m_tint, 0.16));
    p.drawRoundedRect(QRectF(rect()), 9, 9);
    paintGlyph(p, m_symbol, QRectF(rect()).center(), 14, m_tint);
}

OnboardingStatusPill::OnboardingStatusPill(const QString &title, const QString &systemImage, const QColor &colour,
                                           QWidget *parent)
    : QWidget(parent), m_title(title), m_symbol(systemImage), m_colour(colour)
{
    setFont(P::font(12, QFont::DemiBold));
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void OnboardingStatusPill::set(const QString &title, const QString &systemImage, const QColor &colour)
{
    if (title == m_title && systemImage == m_symbol && colour == m_colour)
        return;
    m_title = title;
    m_symbol = systemImage;
    m_colour = colour;
    updateGeometry();
    update();
}

QSize OnboardingStatusPill::sizeHint() const
{
    const QFontMetrics metrics(font());
    const int glyph = int(12 * kGlyphScale);
    return {10 + glyph + 5 + metrics.horizontalAdvance(m_title) + 10, std::max(metrics.height(), glyph) + 12};
}

void OnboardingStatusPill::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    paintCapsule(p, QRectF(rect()), P::withOpacity(m_colour, 0.14), P::withOpacity(m_colour, 0.24));
    const double glyph = 12 * kGlyphScale;
    paintGlyph(p, m_symbol, QPointF(10 + glyph / 2, height() / 2.0), 12, m_colour);
    p.setPen(m_colour);
    p.drawText(QRectF(10 + glyph + 5, 0, width() - glyph - 25, height()), Qt::AlignVCenter | Qt::AlignLeft, m_title);
}

// ---- Button ------------------------------------------------------------------------------------

OnboardingButton::OnboardingButton(const QString &title, Kind kind, QWidget *parent)
    : QAbstractButton(parent), m_kind(kind)
{
    setText(title);
    setFont(P::font(12.5, QFont::DemiBold));
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QColor OnboardingButton::fill(Kind kind, bool pressed)
{
    if (kind == Kind::primary)
        return P::withOpacity(P::accent(), pressed ? 0.82 : 0.95);
    return P::white(pressed ? 0.16 : 0.10);
}

QSize OnboardingButton::sizeHint() const
{
    const QFontMetrics metrics(font());
    // Room around the capsule for the keyboard focus ring.
    return {14 + metrics.horizontalAdvance(text()) + 14 + 4, metrics.height() + 16 + 4};
}

void OnboardingButton::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    if (!isEnabled())
        p.setOpacity(0.4);
    const QRectF capsule = QRectF(rect()).adjusted(2, 2, -2, -2);
    paintCapsule(p, capsule, fill(m_kind, isDown()),
                 m_kind == Kind::primary ? P::withOpacity(P::accent(), 0.40) : P::white(0.12));
    if (hasFocus())
        paintFocusRing(p, QRectF(rect()), rect().height() / 2.0);
    p.setPen(m_kind == Kind::primary ? QColor(Qt::white) : P::primaryText());
    p.drawText(capsule, Qt::AlignCenter, text());
}

void OnboardingButton::keyPressEvent(QKeyEvent *event)
{
    // Outside a dialog Qt leaves Return to the window; here it presses the focused button.
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && event->modifiers() == Qt::NoModifier) {
        click();
        return;
    }
    QAbstractButton::keyPressEvent(event);
}

// ---- Step entry --------------------------------------------------------------------------------

OnboardingStepButton::OnboardingStepButton(OnboardingStep step, QWidget *parent) : QAbstractButton(parent), m_step(step)
{
    setText(title(step));
    setFont(P::font(13, QFont::DemiBold));
    setFocusPolicy(Qt::TabFocus);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void OnboardingStepButton::setState(bool selected, bool complete)
{
    if (selected == m_selected && complete == m_complete)
        return;
    m_selected = selected;
    m_complete = complete;
    update();
}

QString OnboardingStepButton::glyph() const
{
    return m_complete ? QStringLiteral("checkmark.circle.fill") : systemImage(m_step);
}

QColor OnboardingStepButton::glyphColour() const
{
    if (m_complete)
        return P::green();
    return m_selected ? tint(m_step) : P::secondaryText();
}

QColor OnboardingStepButton::titleColour() const
{
    return m_selected ? P::primaryText() : P::secondaryText();
}

QSize OnboardingStepButton::sizeHint() const
{
    const QFontMetrics metrics(font());
    return {10 + 18 + 10 + metrics.horizontalAdvance(text()) + 10, std::max(metrics.height(), 18) + 18};
}

void OnboardingStepButton::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    if (m_selected) {
        p.setPen(QPen(P::white(0.08), 1));
        p.setBrush(P::white(0.10));
        p.drawRoundedRect(box, 9, 9);
    }
    if (hasFocus())
        paintFocusRing(p, QRectF(rect()), 9);
    paintGlyph(p, glyph(), QPointF(10 + 9, height() / 2.0), 13, glyphColour());
    p.setPen(titleColour());
    p.drawText(QRectF(10 + 18 + 10, 0, width() - 48, height()), Qt::AlignVCenter | Qt::AlignLeft, text());
}

bool OnboardingStepButton::hitButton(const QPoint &pos) const
{
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()), 9, 9);
    return shape.contains(pos);
}

// ---- Rows --------------------------------------------------------------------------------------

OnboardingSettingRow::OnboardingSettingRow(const QString &title, const QString &subtitle, const QString &systemImage,
                                           const QColor &tint, QWidget *accessory, QWidget *parent)
    : QWidget(parent), m_accessory(accessory)
{
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(14, 13, 14, 13);
    row->setSpacing(0);
    m_badge = new OnboardingIconBadge(systemImage, tint, this);
    row->addWidget(m_badge, 0, Qt::AlignVCenter);
    row->addSpacing(12);
    auto *texts = new QVBoxLayout;
    texts->setSpacing(4);
    m_title = makeOnboardingLabel(title, 13.5, QFont::DemiBold, P::primaryText(), false, this);
    m_subtitle = makeOnboardingLabel(subtitle, 11.5, QFont::Medium, P::secondaryText(), true, this);
    texts->addWidget(m_title);
    texts->addWidget(m_subtitle);
    row->addLayout(texts, 1);
    // The flexible space keeps at least 16 pt before the accessory, an empty one included.
    row->addSpacing(16);
    if (m_accessory) {
        m_accessory->setParent(this);
        row->addWidget(m_accessory, 0, Qt::AlignVCenter);
    }
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Minimum);
}

void OnboardingSettingRow::set(const QString &title, const QString &subtitle, const QString &systemImage,
                               const QColor &tint)
{
    m_title->setText(title);
    m_subtitle->setText(subtitle);
    m_badge->set(systemImage, tint);
}

void OnboardingSettingRow::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(P::cardStroke(), 1));
    p.setBrush(P::cardBackground());
    p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 10, 10);
}

OnboardingInfoRow::OnboardingInfoRow(const QString &title, const QString &subtitle, const QString &systemImage,
                                     const QColor &tint, QWidget *parent)
    : OnboardingSettingRow(title, subtitle, systemImage, tint, nullptr, parent)
{
}

SummaryRow::SummaryRow(const QString &title, const QString &value, const QString &systemImage, const QColor &tint,
                       QWidget *parent)
    : OnboardingSettingRow(title, value, systemImage, tint, new OnboardingStatusPill(value, systemImage, tint), parent)
{
    m_pill = static_cast<OnboardingStatusPill *>(accessory());
}

void SummaryRow::set(const QString &title, const QString &value, const QString &systemImage, const QColor &tint)
{
    OnboardingSettingRow::set(title, value, systemImage, tint);
    m_pill->set(value, systemImage, tint);
}

// ---- Switch and picker -------------------------------------------------------------------------

OnboardingSwitch::OnboardingSwitch(QWidget *parent) : QAbstractButton(parent)
{
    setCheckable(true);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void OnboardingSwitch::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    const QRectF track = QRectF(rect()).adjusted(2, 2, -2, -2);
    paintCapsule(p, track, isChecked() ? P::accent() : P::white(0.16), P::white(0.10));
    const double d = track.height() - 4;
    const double x = isChecked() ? track.right() - 2 - d : track.left() + 2;
    p.setPen(Qt::NoPen);
    p.setBrush(P::white(0.95));
    p.drawEllipse(QRectF(x, track.top() + 2, d, d));
    if (hasFocus())
        paintFocusRing(p, QRectF(rect()), height() / 2.0);
}

OnboardingPicker::OnboardingPicker(const std::vector<std::pair<QString, QString>> &entries, int width, QWidget *parent)
    : QComboBox(parent)
{
    setFixedWidth(width);
    setFont(P::font(12.5, QFont::Medium));
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
    setStyleSheet(QStringLiteral(
        "QComboBox { background: rgba(255,255,255,26); color: rgba(255,255,255,235);"
        " border: 1px solid rgba(255,255,255,31); border-radius: 7px; padding: 4px 9px; }"
        "QComboBox:focus { border: 2px solid rgba(199,56,224,230); }"
        "QComboBox::drop-down { border: none; width: 20px; }"
        "QComboBox::down-arrow { image: none; }"
        "QComboBox QAbstractItemView { background: rgb(28,28,31); color: rgba(255,255,255,235);"
        " selection-background-color: rgb(199,56,224); border: 1px solid rgba(255,255,255,31); outline: 0; }"));
    for (const auto &[title, value] : entries)
        addItem(title, value);
    connect(this, &QComboBox::activated, this, [this](int index) { Q_EMIT picked(itemData(index).toString()); });
}

void OnboardingPicker::select(const QString &value)
{
    const QSignalBlocker blocker(this);
    setCurrentIndex(findData(value));
}

void OnboardingPicker::paintEvent(QPaintEvent *event)
{
    QComboBox::paintEvent(event);
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(P::secondaryText(), 1.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    const double x = width() - 13, y = height() / 2.0;
    p.drawPolyline(QPolygonF({{x - 3, y - 2}, {x, y - 5}, {x + 3, y - 2}}));
    p.drawPolyline(QPolygonF({{x - 3, y + 2}, {x, y + 5}, {x + 3, y + 2}}));
}

} // namespace quillmere
