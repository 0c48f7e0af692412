#include "Quillmere/Settings/SettingsKit.h"

#include "Quillmere/Settings/SettingsPalette.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QStylePainter>

namespace quillmere {

namespace P = SettingsPalette;

namespace {

void fillRounded(QPainter &p, const QRectF &rect, qreal radius, const QColor &fill, const QColor &stroke = {})
{
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.addRoundedRect(rect, radius, radius);
    p.fillPath(path, fill);
    if (stroke.isValid()) {
        QPainterPath inner;
        inner.addRoundedRect(rect.adjusted(0.5, 0.5, -0.5, -0.5), radius, radius);
        p.strokePath(inner, QPen(stroke, 1));
    }
}

void fillCapsule(QPainter &p, const QRectF &rect, const QColor &fill, const QColor &stroke)
{
    fillRounded(p, rect, rect.height() / 2, fill, stroke);
}

QColor styleColour(PillStyle style)
{
    switch (style) {
    case PillStyle::success:
        return P::success();
    case PillStyle::warning:
        return P::warning();
    case PillStyle::danger:
        return P::danger();
    case PillStyle::accent:
        return P::accent();
    case PillStyle::neutral:
        break;
    }
    return P::secondaryText();
}

} // namespace

QLabel *makeLabel(const QString &text, double size, QFont::Weight weight, const QColor &colour, bool wraps,
                  QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setFont(P::font(size, weight));
    label->setWordWrap(wraps);
    setLabelColour(label, colour);
    return label;
}

void setLabelColour(QLabel *label, const QColor &colour)
{
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
}

// ---- SettingsButton ---------------------------------------------------------------------------

SettingsButton::SettingsButton(const QString &title, Kind kind, QWidget *parent) : QAbstractButton(parent), m_kind(kind)
{
    setText(title);
    setFont(P::font(12, QFont::DemiBold));
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QSize SettingsButton::sizeHint() const
{
    const QFontMetrics fm(font());
    return {fm.horizontalAdvance(text()) + 24, fm.height() + 14};
}

void SettingsButton::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    const bool pressed = isDown();
    QColor fill, stroke, label;
    if (m_kind == Kind::destructive) {
        fill = P::withOpacity(P::danger(), pressed ? 0.30 : 0.20);
        stroke = P::withOpacity(P::danger(), 0.32);
        label = P::danger();
    } else if (m_kind == Kind::prominent) {
        fill = P::withOpacity(P::controlTint(), pressed ? 0.75 : 1.0);
        stroke = P::white(0.16);
        label = Qt::white;
    } else {
        fill = P::white(pressed ? 0.20 : 0.14);
        stroke = P::white(0.12);
        label = P::primaryText();
    }
    if (!isEnabled())
        p.setOpacity(0.45);
    fillCapsule(p, QRectF(rect()), fill, stroke);
    p.setPen(label);
    p.setFont(font());
    p.drawText(rect(), Qt::AlignCenter, text());
}

// ---- SwitchToggle -----------------------------------------------------------------------------

SwitchToggle::SwitchToggle(QWidget *parent) : QAbstractButton(parent)
{
    setCheckable(true);
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void SwitchToggle::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    if (!isEnabled())
        p.setOpacity(0.45);
    const QRectF track = QRectF(rect()).adjusted(1, 1, -1, -1);
    fillCapsule(p, track, isChecked() ? P::controlTint() : P::white(0.16), P::white(0.10));
    const qreal d = track.height() - 4;
    const qreal x = isChecked() ? track.right() - 2 - d : track.left() + 2;
    p.setBrush(P::white(0.95));
    p.setPen(Qt::NoPen);
    p.drawEllipse(QRectF(x, track.top() + 2, d, d));
}

// ---- MenuPicker -------------------------------------------------------------------------------

MenuPicker::MenuPicker(int width, QWidget *parent) : QComboBox(parent)
{
    setFixedWidth(width);
    setFont(P::font(12.5, QFont::Medium));
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
    setStyleSheet(QStringLiteral(
        "QComboBox { background: rgba(255,255,255,20); color: rgba(255,255,255,235);"
        " border: 1px solid rgba(255,255,255,31); border-radius: 6px; padding: 3px 8px; }"
        "QComboBox:disabled { color: rgba(255,255,255,90); }"
        "QComboBox::drop-down { border: none; width: 20px; }"
        "QComboBox::down-arrow { image: none; }"
        "QComboBox QAbstractItemView { background: rgb(30,30,33); color: rgba(255,255,255,235);"
        " selection-background-color: rgb(143,92,158); border: 1px solid rgba(255,255,255,31); outline: 0; }"));
    connect(this, &QComboBox::activated, this, [this](int index) { Q_EMIT picked(itemData(index)); });
}

void MenuPicker::setEntries(const QList<std::pair<QString, QVariant>> &entries)
{
    // Refilled only when they differ, so that an open menu is not pulled from under the pointer.
    bool same = count() == entries.size();
    for (int i = 0; same && i < count(); ++i)
        same = itemText(i) == entries[i].first && itemData(i) == entries[i].second;
    if (same)
        return;
    const QSignalBlocker blocker(this);
    clear();
    for (const auto &[title, value] : entries)
        addItem(title, value);
}

void MenuPicker::select(const QVariant &value)
{
    const QSignalBlocker blocker(this);
    setCurrentIndex(findData(value));
}

void MenuPicker::paintEvent(QPaintEvent *event)
{
    QComboBox::paintEvent(event);
    // The up-and-down chevrons of a menu picker.
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(isEnabled() ? P::secondaryText() : P::white(0.25), 1.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    const qreal x = width() - 13, y = height() / 2.0;
    p.drawPolyline(QPolygonF({{x - 3, y - 2}, {x, y - 5}, {x + 3, y - 2}}));
    p.drawPolyline(QPolygonF({{x - 3, y + 2}, {x, y + 5}, {x + 3, y + 2}}));
}

// ---- IconBadge, StatusPill, SettingsDivider ----------------------------------------------------

IconBadge::IconBadge(const QString &systemImage, QWidget *parent) : QWidget(parent), m_symbol(systemImage)
{
    setFixedSize(32, 32);
}

void IconBadge::setSymbol(const QString &systemImage)
{
    m_symbol = systemImage;
    update();
}

void IconBadge::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    fillRounded(p, QRectF(rect()), 9, P::badgeBackground());
    const qreal side = 14 * 1.2;
    Glyphs::paint(p, m_symbol, QRectF((32 - side) / 2, (32 - side) / 2, side, side), P::iconForeground());
}

StatusPill::StatusPill(const QString &title, const QString &systemImage, PillStyle style, QWidget *parent)
    : QWidget(parent), m_title(title), m_symbol(systemImage), m_style(style)
{
    setFont(P::font(12, QFont::DemiBold));
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void StatusPill::set(const QString &title, const QString &systemImage, PillStyle style)
{
    m_title = title;
    m_symbol = systemImage;
    m_style = style;
    updateGeometry();
    update();
}

QSize StatusPill::sizeHint() const
{
    const QFontMetrics fm(font());
    return {10 + 14 + 5 + fm.horizontalAdvance(m_title) + 10, fm.height() + 12};
}

QColor StatusPill::tint(PillStyle style, double neutralOpacity, double colourOpacity)
{
    if (style == PillStyle::neutral)
        return P::white(neutralOpacity);
    return P::withOpacity(styleColour(style), colourOpacity);
}

void StatusPill::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    fillCapsule(p, QRectF(rect()), tint(m_style, 0.08, 0.14), tint(m_style, 0.12, 0.24));
    const QColor colour = styleColour(m_style);
    Glyphs::paint(p, m_symbol, QRectF(10, (height() - 14) / 2.0, 14, 14), colour);
    p.setPen(colour);
    p.setFont(font());
    p.drawText(rect().adjusted(10 + 14 + 5, 0, -10, 0), Qt::AlignVCenter | Qt::AlignLeft, m_title);
}

SettingsDivider::SettingsDivider(QWidget *parent) : QWidget(parent)
{
    setFixedHeight(1);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void SettingsDivider::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.fillRect(QRect(62, 0, width() - 62, 1), P::divider());
}

// ---- Rows ----------------------------------------------------------------------------------------

SettingsRow::SettingsRow(const QString &title, const QString &subtitle, const QString &systemImage, QWidget *accessory,
                         QWidget *parent)
    : QWidget(parent), m_accessory(accessory)
{
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(14, 12, 14, 12);
    row->setSpacing(12);
    m_badge = new IconBadge(systemImage, this);
    row->addWidget(m_badge, 0, Qt::AlignVCenter);
    auto *texts = new QVBoxLayout;
    texts->setSpacing(3);
    m_title = makeLabel(title, 13.5, QFont::DemiBold, P::primaryText(), false, this);
    m_subtitle = makeLabel(subtitle, 11.5, QFont::Medium, P::secondaryText(), true, this);
    texts->addWidget(m_title);
    texts->addWidget(m_subtitle);
    row->addLayout(texts, 1);
    if (accessory) {
        row->addSpacing(16 - row->spacing());
        accessory->setParent(this);
        row->addWidget(accessory, 0, Qt::AlignVCenter);
    }
}

void SettingsRow::setSubtitle(const QString &subtitle)
{
    m_subtitle->setText(subtitle);
}

void SettingsRow::setSubtitleWarns(bool warns)
{
    setLabelColour(m_subtitle, warns ? P::warning() : P::secondaryText());
}

void SettingsRow::setSystemImage(const QString &systemImage)
{
    m_badge->setSymbol(systemImage);
}

QString SettingsRow::systemImage() const
{
    return m_badge->symbol();
}

QString SettingsRow::title() const
{
    return m_title->text();
}

QString SettingsRow::subtitle() const
{
    return m_subtitle->text();
}

void SettingsRow::paintEvent(QPaintEvent *)
{
    QPainter(this).fillRect(rect(), P::rowBackground());
}

ActionRow::ActionRow(const QString &title, const QString &subtitle, const QString &systemImage,
                     const QString &buttonTitle, bool isDestructive, QWidget *parent)
    : SettingsRow(title, subtitle, systemImage,
                  new SettingsButton(buttonTitle,
                                     isDestructive ? SettingsButton::Kind::destructive : SettingsButton::Kind::normal),
                  parent)
{
    m_button = static_cast<SettingsButton *>(accessory());
}

MessageRow::MessageRow(const QString &message, const QString &systemImage, Role role, QWidget *parent)
    : QWidget(parent), m_role(role)
{
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(14, 10, 14, 10);
    row->setSpacing(10);
    const QColor symbolColour = role == Role::warning ? P::warning() : P::iconForeground();
    row->addWidget(new GlyphView(systemImage, 12, symbolColour, {22, 16}, this), 0, Qt::AlignVCenter);
    m_label = makeLabel(message, 11.5, QFont::Medium, P::secondaryText(), true, this);
    row->addWidget(m_label, 1);
}

void MessageRow::setMessage(const QString &message)
{
    m_label->setText(message);
}

void MessageRow::paintEvent(QPaintEvent *)
{
    QPainter(this).fillRect(rect(), m_role == Role::warning ? P::withOpacity(P::warning(), 0.08) : P::white(0.04));
}

// ---- SettingsSection -----------------------------------------------------------------------------

// The card under a section header. Its rows draw edge to edge; the frame above them rounds the
// corners off and draws the outline.
class SettingsSection::Card : public QWidget {
public:
    explicit Card(QWidget *parent) : QWidget(parent) { m_frame = new Frame(this); }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        fillRounded(p, QRectF(rect()), 12, P::sectionBackground());
    }
    void resizeEvent(QResizeEvent *) override { keepFrameOnTop(); }
    void childEvent(QChildEvent *event) override
    {
        QWidget::childEvent(event);
        if (event->added() && m_frame && event->child() != m_frame)
            keepFrameOnTop();
    }

private:
    class Frame : public QWidget {
    public:
        explicit Frame(QWidget *parent) : QWidget(parent) { setAttribute(Qt::WA_TransparentForMouseEvents); }

    protected:
        void paintEvent(QPaintEvent *) override
        {
            QPainter p(this);
            p.setRenderHint(QPainter::Antialiasing);
            QPainterPath outside;
            outside.addRect(QRectF(rect()));
            QPainterPath card;
            card.addRoundedRect(QRectF(rect()), 12, 12);
            p.fillPath(outside.subtracted(card), P::windowBackground());
            QPainterPath edge;
            edge.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 12, 12);
            p.strokePath(edge, QPen(P::sectionStroke(), 1));
        }
    };

    void keepFrameOnTop()
    {
        m_frame->setGeometry(rect());
        m_frame->raise();
    }

    Frame *m_frame = nullptr;
};

SettingsSection::SettingsSection(const QString &title, const QString &systemImage, QWidget *parent)
    : QWidget(parent), m_title(title)
{
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(9);
    auto *header = new QHBoxLayout;
    header->setContentsMargins(4, 0, 4, 0);
    header->setSpacing(8);
    header->addWidget(new GlyphView(systemImage, 12, P::iconForeground(), {18, 16}, this));
    QLabel *caption = makeLabel(title.toUpper(), 11, QFont::DemiBold, P::tertiaryText(), false, this);
    QFont spaced = caption->font();
    spaced.setLetterSpacing(QFont::AbsoluteSpacing, 0.6);
    caption->setFont(spaced);
    header->addWidget(caption);
    header->addStretch(1);
    column->addLayout(header);
    auto *card = new Card(this);
    m_content = new QVBoxLayout(card);
    m_content->setContentsMargins(0, 0, 0, 0);
    m_content->setSpacing(0);
    column->addWidget(card);
}

// ---- SidebarItemButton ---------------------------------------------------------------------------

SidebarItemButton::SidebarItemButton(SettingsPane pane, QWidget *parent) : QAbstractButton(parent), m_pane(pane)
{
    setText(title(pane));
    setFont(P::font(13, QFont::DemiBold));
    setCursor(Qt::PointingHandCursor);
    setAttribute(Qt::WA_Hover);
    setAccessibleName(title(pane));
}

void SidebarItemButton::setSelected(bool selected)
{
    if (selected == m_selected)
        return;
    m_selected = selected;
    update();
}

QSize SidebarItemButton::sizeHint() const
{
    return {178, QFontMetrics(font()).height() + 18};
}

void SidebarItemButton::enterEvent(QEnterEvent *event)
{
    m_hovering = true;
    update();
    QAbstractButton::enterEvent(event);
}

void SidebarItemButton::leaveEvent(QEvent *event)
{
    m_hovering = false;
    update();
    QAbstractButton::leaveEvent(event);
}

bool SidebarItemButton::hitButton(const QPoint &pos) const
{
    return rect().contains(pos);
}

void SidebarItemButton::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    const QRectF box(rect());
    if (m_selected)
        fillRounded(p, box, 9, P::white(0.10), P::white(0.08));
    else if (m_hovering)
        fillRounded(p, box, 9, P::white(0.05));
    const qreal side = 13 * 1.2;
    Glyphs::paint(p, systemImage(m_pane), QRectF(10 + (18 - side) / 2, (height() - side) / 2, side, side),
                  m_selected ? P::primaryText() : P::iconForeground());
    p.setFont(font());
    p.setPen(m_selected ? P::primaryText() : P::secondaryText());
    p.drawText(rect().adjusted(10 + 18 + 10, 0, -10, 0), Qt::AlignVCenter | Qt::AlignLeft, text());
}

// ---- Progress ----------------------------------------------------------------------------------

AccentProgressBar::AccentProgressBar(QWidget *parent) : QWidget(parent)
{
    setFixedHeight(6);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void AccentProgressBar::setProgress(int value, int total)
{
    m_value = std::max(0, value);
    m_total = total > 0 ? total : 1;
    update();
}

void AccentProgressBar::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    const QRectF track(rect());
    fillCapsule(p, track, P::white(0.10), QColor());
    const qreal filled = track.width() * std::min(1.0, fraction());
    if (filled > 0)
        fillCapsule(p, QRectF(track.left(), track.top(), std::max(filled, track.height()), track.height()), P::accent(),
                    QColor());
}

AchievementRow::AchievementRow(const ClipAchievement &achievement, QWidget *parent)
    : QWidget(parent), m_unlocked(achievement.isUnlocked)
{
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(10, 8, 10, 8);
    row->setSpacing(10);
    row->addWidget(new GlyphView(m_unlocked ? QStringLiteral("checkmark.circle.fill") : QStringLiteral("lock.fill"), 12,
                                 m_unlocked ? P::success() : P::tertiaryText(), {18, 16}, this));
    QLabel *label = makeLabel(achievement.title, 12, QFont::Medium, m_unlocked ? P::primaryText() : P::secondaryText(),
                              false, this);
    label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    label->setAccessibleName(achievement.title);
    row->addWidget(label, 1);
}

void AchievementRow::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    fillRounded(p, QRectF(rect()), 8, P::white(0.04));
}

} // namespace quillmere
