#include "Quillmere/Settings/StorageDashboard.h"

#include "Quillmere/Archive/StoreMaintenance.h"
#include "Quillmere/Model/ClipPresentation.h"
#include "Quillmere/Settings/Glyphs.h"
#include "Quillmere/Settings/SettingsKit.h"
#include "Quillmere/Settings/SettingsPalette.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLocale>
#include <QPainter>
#include <QPainterPath>
#include <QScrollArea>
#include <QShowEvent>
#include <QTimer>

namespace quillmere {

namespace DashboardPalette {
QColor sheetBackground()
{
    return Qt::black;
}
QColor cardFill()
{
    return QColor(16, 16, 18);
}
QColor cardBorder()
{
    return SettingsPalette::white(0.07);
}
QColor hairline()
{
    return SettingsPalette::white(0.06);
}
QColor primaryText()
{
    return SettingsPalette::white(0.92);
}
QColor secondaryText()
{
    return SettingsPalette::white(0.58);
}
QColor accent()
{
    return QColor::fromRgbF(0.78f, 0.22f, 0.88f);
}
QColor barTrack()
{
    return SettingsPalette::white(0.10);
}
} // namespace DashboardPalette

namespace D = DashboardPalette;

QColor dashboardKindColor(ClipKind kind)
{
    // The desktop's named system colours in their dark-mode shades.
    switch (kind) {
    case ClipKind::text:
        return QColor(10, 132, 255);
    case ClipKind::url:
        return QColor(48, 209, 88);
    case ClipKind::image:
        return QColor(191, 90, 242);
    case ClipKind::file:
        return QColor(255, 159, 10);
    }
    return {};
}

namespace {

QColor orange()
{
    return dashboardKindColor(ClipKind::file);
}

class Box : public QWidget {
public:
    explicit Box(QWidget *parent) : QWidget(parent) {}

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(D::cardBorder(), 1));
        p.setBrush(D::cardFill());
        p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 12, 12);
    }
};

class Line : public QWidget {
public:
    Line(int inset, QWidget *parent) : QWidget(parent), m_inset(inset) { setFixedHeight(1); }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter(this).fillRect(rect().adjusted(m_inset, 0, 0, 0), D::hairline());
    }

private:
    int m_inset;
};

class Spinner : public QWidget {
public:
    Spinner(int side, QWidget *parent) : QWidget(parent)
    {
        setFixedSize(side, side);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            m_angle = (m_angle + 30) % 360;
            update();
        });
        m_timer.start(80);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(D::secondaryText(), 2, Qt::SolidLine, Qt::RoundCap));
        p.drawArc(QRectF(rect()).adjusted(2, 2, -2, -2), -m_angle * 16, 270 * 16);
    }

private:
    QTimer m_timer;
    int m_angle = 0;
};

// Figures: the desktop's sans fonts set digits at one width already (Qt 6.4 cannot ask for it).
QLabel *text(const QString &s, double size, QFont::Weight weight, const QColor &colour, QWidget *parent,
             bool /*figures*/ = false)
{
    return makeLabel(s, size, weight, colour, false, parent);
}

// One line of text cut with an ellipsis to whatever width the row leaves it.
class ElidedLabel : public QWidget {
public:
    ElidedLabel(QString s, double size, QFont::Weight weight, QColor colour, QWidget *parent)
        : QWidget(parent), m_text(std::move(s)), m_colour(colour)
    {
        setFont(SettingsPalette::font(size, weight));
        setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
        setFixedHeight(fontMetrics().height());
    }
    QString text() const { return m_text; }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        p.setPen(m_colour);
        p.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter, fontMetrics().elidedText(m_text, Qt::ElideRight, width()));
    }

private:
    QString m_text;
    QColor m_colour;
};

QWidget *inset(QLayout *layout, int h, int v, QWidget *parent)
{
    auto *w = new QWidget(parent);
    layout->setContentsMargins(h, v, h, v);
    w->setLayout(layout);
    return w;
}

GlyphView *symbol(const QString &name, double size, const QColor &colour, int width, QWidget *parent)
{
    return new GlyphView(name, size, colour, QSize(width, int(size * 1.4)), parent);
}

} // namespace

// ---- Components ---------------------------------------------------------------------------------

DashboardCard::DashboardCard(const std::optional<QString> &title, QWidget *content, QWidget *parent) : QWidget(parent)
{
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(9);
    if (title) {
        QLabel *heading = text(*title, 13, QFont::Bold, D::primaryText(), this);
        heading->setContentsMargins(4, 0, 4, 0);
        column->addWidget(heading);
    }
    m_box = new Box(this);
    auto *inside = new QVBoxLayout(m_box);
    inside->setContentsMargins(0, 0, 0, 0);
    inside->setSpacing(0);
    content->setParent(m_box);
    inside->addWidget(content);
    column->addWidget(m_box);
}

KindProportionBar::KindProportionBar(std::vector<KindTotal> kindTotals, qint64 totalBytes, QWidget *parent)
    : QWidget(parent), m_kindTotals(std::move(kindTotals)), m_totalBytes(totalBytes)
{
    setFixedHeight(10);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

std::vector<double> KindProportionBar::segmentWidths(const std::vector<KindTotal> &kindTotals, qint64 totalBytes,
                                                     double width)
{
    std::vector<double> widths;
    for (const KindTotal &kind : kindTotals)
        widths.push_back(totalBytes > 0 ? double(kind.byteCount) * width / double(totalBytes) : 0);
    return widths;
}

void KindProportionBar::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF bounds(rect());
    QPainterPath capsule;
    capsule.addRoundedRect(bounds, bounds.height() / 2, bounds.height() / 2);
    p.fillPath(capsule, D::barTrack());
    p.setClipPath(capsule);
    double x = 0;
    const std::vector<double> widths = segmentWidths(m_kindTotals, m_totalBytes, bounds.width());
    for (size_t i = 0; i < widths.size(); ++i) {
        p.fillRect(QRectF(x, 0, widths[i], bounds.height()), dashboardKindColor(m_kindTotals[i].kind));
        x += widths[i] + 1;
    }
}

class PageUsageRow::Bar : public QWidget {
public:
    Bar(int count, int maxCount, QWidget *parent) : QWidget(parent), m_count(count), m_maxCount(maxCount)
    {
        setFixedHeight(6);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(SettingsPalette::withOpacity(D::accent(), 0.7));
        const double w = barWidth(m_count, m_maxCount, width());
        if (w > 0)
            p.drawRoundedRect(QRectF(0, 0, w, 6), 3, 3);
    }

private:
    int m_count;
    int m_maxCount;
};

PageUsageRow::PageUsageRow(PageTotal page, int maxCount, QWidget *parent) : QWidget(parent)
{
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(14, 10, 14, 10);
    column->setSpacing(5);
    auto *row = new QHBoxLayout;
    row->addWidget(new ElidedLabel(page.name, 12.5, QFont::DemiBold, D::primaryText(), this), 1);
    row->addWidget(text(QString::number(page.count), 12, QFont::Medium, D::secondaryText(), this));
    row->addWidget(text(storageByteText(page.byteCount), 11.5, QFont::DemiBold, D::secondaryText(), this, true));
    column->addLayout(row);
    column->addWidget(new Bar(page.count, maxCount, this));
}

double PageUsageRow::barWidth(int count, int maxCount, double width)
{
    if (maxCount <= 0)
        return 0;
    return std::max(4.0, width * double(count) / double(maxCount));
}

// ---- The sheet ----------------------------------------------------------------------------------

QString StorageDashboard::sweepResultText(int merged)
{
    if (merged <= 0)
        return QStringLiteral("No duplicates to merge.");
    return QStringLiteral("Merged %1 duplicate%2.")
        .arg(QString::number(merged), merged == 1 ? QString() : QStringLiteral("s"));
}

QString StorageDashboard::duplicateDescription(int candidates)
{
    if (candidates <= 0)
        return QStringLiteral("No duplicate copies detected right now.");
    return QStringLiteral("%1 possible duplicate%2 detected. The sweep merges cross-device copies into one, keeping "
                          "pins and Pages.")
        .arg(QString::number(candidates), candidates == 1 ? QString() : QStringLiteral("s"));
}

QString StorageDashboard::clipCountText(int clips)
{
    return QStringLiteral("%1 clips").arg(clips);
}

StorageDashboard::StorageDashboard(ClipStore &store, std::function<void()> onDone, QWidget *parent)
    : QDialog(parent), m_store(store), m_onDone(std::move(onDone))
{
    setWindowTitle(QStringLiteral("Stats & Storage"));
    setFixedSize(sheetSide, sheetSide);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, D::sheetBackground());
    setPalette(pal);
    setAutoFillBackground(true);

    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);

    auto *header = new QHBoxLayout;
    header->setContentsMargins(20, 16, 20, 16);
    header->setSpacing(12);
    header->addWidget(symbol(QStringLiteral("internaldrive"), 16 * 1.2, D::accent(), 24, this));
    auto *titles = new QVBoxLayout;
    titles->setSpacing(2);
    titles->addWidget(text(QStringLiteral("Stats & Storage"), 15, QFont::Bold, D::primaryText(), this));
    titles->addWidget(text(QStringLiteral("The clips' own content, without the database's overhead."), 11.5,
                           QFont::Medium, D::secondaryText(), this));
    header->addLayout(titles, 1);
    m_done = new SettingsButton(QStringLiteral("Done"), SettingsButton::Kind::normal, this);
    connect(m_done, &QAbstractButton::clicked, this, [this] {
        if (m_onDone)
            m_onDone();
    });
    header->addWidget(m_done);
    outer->addLayout(header);
    outer->addWidget(new Line(0, this));

    auto *scroll = new QScrollArea(this);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    scroll->setStyleSheet(QStringLiteral(
        "QScrollArea, QScrollArea > QWidget > QWidget { background: black; }"
        "QScrollBar:vertical { background: transparent; width: 10px; margin: 2px; }"
        "QScrollBar::handle:vertical { background: rgba(255,255,255,60); border-radius: 3px; min-height: 30px; }"
        "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }"
        "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }"));
    m_column = new QWidget(scroll);
    m_cards = new QVBoxLayout(m_column);
    m_cards->setContentsMargins(22, 20, 22, 20);
    m_cards->setSpacing(18);
    scroll->setWidget(m_column);
    outer->addWidget(scroll, 1);
    rebuild();
}

void StorageDashboard::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (!event->spontaneous())
        reload();
}

void StorageDashboard::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        m_done->click();
        return;
    }
    if (event->key() == Qt::Key_Escape) {
        m_done->click();
        return;
    }
    QDialog::keyPressEvent(event);
}

void StorageDashboard::reload()
{
    storageFacts(m_store, 150, this, [this](std::vector<ClipFact> facts) {
        m_stats = StorageStats::from(facts);
        rebuild();
        Q_EMIT reloaded();
    });
}

void StorageDashboard::runSweep()
{
    if (m_sweeping)
        return;
    m_sweeping = true;
    m_sweepMessage.reset();
    const int merged = runDuplicateSweep(m_store, true);
    rebuild();
    storageFacts(m_store, 150, this, [this, merged](std::vector<ClipFact> facts) {
        m_stats = StorageStats::from(facts);
        m_sweeping = false;
        m_sweepMessage = sweepResultText(merged);
        rebuild();
        Q_EMIT reloaded();
    });
}

void StorageDashboard::rebuild()
{
    while (QLayoutItem *item = m_cards->takeAt(0)) {
        if (QWidget *w = item->widget()) {
            w->hide();
            w->deleteLater();
        }
        delete item;
    }
    m_sweepButton = nullptr;
    if (!m_stats) {
        auto *row = new QHBoxLayout;
        row->setSpacing(10);
        row->addWidget(new Spinner(18, m_column));
        row->addWidget(text(QStringLiteral("Measuring storage…"), 12.5, QFont::Medium, D::secondaryText(), m_column));
        m_cards->addWidget(new DashboardCard(std::nullopt, inset(row, 14, 14, m_column), m_column), 0, Qt::AlignLeft);
    } else {
        m_cards->addWidget(overviewCard(*m_stats));
        m_cards->addWidget(kindCard(*m_stats));
        m_cards->addWidget(largestCard(*m_stats), 0, m_stats->largestClips.empty() ? Qt::AlignLeft : Qt::Alignment());
        if (!m_stats->pageTotals.empty())
            m_cards->addWidget(pageCard(*m_stats));
        m_cards->addWidget(maintenanceCard(*m_stats));
    }
    m_cards->addStretch(1);
}

QWidget *StorageDashboard::overviewCard(const StorageStats &stats)
{
    auto *column = new QVBoxLayout;
    column->setSpacing(12);
    auto *top = new QHBoxLayout;
    QLabel *total = text(storageByteText(stats.totalBytes), 30, QFont::Bold, D::primaryText(), m_column);
    total->setObjectName(QStringLiteral("totalBytes"));
    top->addWidget(total, 0, Qt::AlignBaseline);
    top->addStretch(1);
    QLabel *count = text(clipCountText(stats.totalClips), 12.5, QFont::DemiBold, D::secondaryText(), m_column);
    count->setObjectName(QStringLiteral("totalClips"));
    top->addWidget(count, 0, Qt::AlignBaseline);
    column->addLayout(top);
    column->addWidget(new KindProportionBar(stats.kindTotals, stats.totalBytes, m_column));
    if (stats.oldest && stats.newest) {
        const QLocale locale;
        auto day = [&](const QDateTime &d) {
            return locale.toString(d.toLocalTime().date(), QStringLiteral("MMM d, yyyy"));
        };
        column->addWidget(text(QStringLiteral("From %1 to %2").arg(day(*stats.oldest), day(*stats.newest)), 11,
                               QFont::Medium, D::secondaryText(), m_column));
    }
    return new DashboardCard(std::nullopt, inset(column, 14, 14, m_column), m_column);
}

QWidget *StorageDashboard::kindCard(const StorageStats &stats)
{
    auto *rows = new QVBoxLayout;
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(0);
    for (size_t i = 0; i < stats.kindTotals.size(); ++i) {
        const KindTotal &kind = stats.kindTotals[i];
        if (i > 0)
            rows->addWidget(new Line(48, m_column));
        auto *row = new QHBoxLayout;
        row->setSpacing(12);
        row->addWidget(symbol(kindSymbolName(kind.kind), 15 * 1.2, dashboardKindColor(kind.kind), 24, m_column));
        row->addWidget(text(kindName(kind.kind), 12.5, QFont::DemiBold, D::primaryText(), m_column));
        row->addStretch(1);
        row->addWidget(text(QString::number(kind.count), 12, QFont::Medium, D::secondaryText(), m_column));
        QLabel *bytes = text(storageByteText(kind.byteCount), 12, QFont::DemiBold, D::secondaryText(), m_column, true);
        bytes->setMinimumWidth(74);
        bytes->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        row->addWidget(bytes);
        rows->addWidget(inset(row, 14, 11, m_column));
    }
    auto *content = new QWidget(m_column);
    content->setLayout(rows);
    return new DashboardCard(QStringLiteral("By Type"), content, m_column);
}

QWidget *StorageDashboard::largestCard(const StorageStats &stats)
{
    if (stats.largestClips.empty()) {
        auto *row = new QHBoxLayout;
        row->addWidget(text(QStringLiteral("No clips yet."), 12.5, QFont::Medium, D::secondaryText(), m_column));
        return new DashboardCard(QStringLiteral("Largest Clips"), inset(row, 14, 14, m_column), m_column);
    }
    auto *rows = new QVBoxLayout;
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(0);
    for (size_t i = 0; i < stats.largestClips.size(); ++i) {
        const ClipFact &fact = stats.largestClips[i];
        if (i > 0)
            rows->addWidget(new Line(48, m_column));
        auto *row = new QHBoxLayout;
        row->setSpacing(12);
        row->addWidget(symbol(kindSymbolName(fact.kind), 14 * 1.2, dashboardKindColor(fact.kind), 22, m_column));
        auto *names = new QVBoxLayout;
        names->setSpacing(2);
        names->addWidget(new ElidedLabel(fact.preview.simplified(), 12.5, QFont::Medium, D::primaryText(), m_column));
        if (fact.pageName)
            names->addWidget(new ElidedLabel(*fact.pageName, 10.5, QFont::Medium, D::secondaryText(), m_column));
        row->addLayout(names, 1);
        row->addWidget(text(storageByteText(fact.byteCount), 12, QFont::DemiBold, D::secondaryText(), m_column, true));
        rows->addWidget(inset(row, 14, 10, m_column));
    }
    auto *content = new QWidget(m_column);
    content->setLayout(rows);
    content->setObjectName(QStringLiteral("largestRows"));
    return new DashboardCard(QStringLiteral("Largest Clips"), content, m_column);
}

QWidget *StorageDashboard::pageCard(const StorageStats &stats)
{
    int maxCount = 1;
    if (!stats.pageTotals.empty()) {
        maxCount = 0;
        for (const PageTotal &page : stats.pageTotals)
            maxCount = std::max(maxCount, page.count);
    }
    auto *rows = new QVBoxLayout;
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(0);
    for (size_t i = 0; i < stats.pageTotals.size(); ++i) {
        if (i > 0)
            rows->addWidget(new Line(48, m_column));
        rows->addWidget(new PageUsageRow(stats.pageTotals[i], maxCount, m_column));
    }
    auto *content = new QWidget(m_column);
    content->setLayout(rows);
    return new DashboardCard(QStringLiteral("By Page"), content, m_column);
}

QWidget *StorageDashboard::maintenanceCard(const StorageStats &stats)
{
    auto *column = new QVBoxLayout;
    column->setSpacing(10);
    auto *row = new QHBoxLayout;
    row->setSpacing(12);
    row->addWidget(symbol(QStringLiteral("square.on.square.dashed"), 15 * 1.2, orange(), 24, m_column));
    auto *texts = new QVBoxLayout;
    texts->setSpacing(3);
    texts->addWidget(text(QStringLiteral("Run Duplicate Sweep"), 12.5, QFont::DemiBold, D::primaryText(), m_column));
    QLabel *description = makeLabel(duplicateDescription(stats.duplicateCandidateCount), 11, QFont::Medium,
                                    D::secondaryText(), true, m_column);
    description->setObjectName(QStringLiteral("duplicateDescription"));
    texts->addWidget(description);
    row->addLayout(texts, 1);
    if (m_sweeping) {
        row->addWidget(new Spinner(16, m_column));
    } else {
        m_sweepButton = new SettingsButton(QStringLiteral("Run Sweep"), SettingsButton::Kind::normal, m_column);
        connect(m_sweepButton, &QAbstractButton::clicked, this, &StorageDashboard::runSweep);
        row->addWidget(m_sweepButton);
    }
    column->addLayout(row);
    if (m_sweepMessage)
        column->addWidget(text(*m_sweepMessage, 11.5, QFont::DemiBold, D::accent(), m_column));
    return new DashboardCard(QStringLiteral("Maintenance"), inset(column, 14, 14, m_column), m_column);
}

} // namespace quillmere
