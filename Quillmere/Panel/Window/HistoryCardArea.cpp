#include "Quillmere/Panel/Window/HistoryCardArea.h"

#include "Quillmere/Panel/HistoryViewModel.h"
#include "Quillmere/Panel/Window/PanelGeometry.h"
#include "Quillmere/Panel/Window/PanelGlyphs.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QScrollBar>
#include <QVBoxLayout>
#include <QWheelEvent>

namespace quillmere {
namespace {

QColor white(double opacity)
{
    QColor c(Qt::white);
    c.setAlphaF(float(opacity));
    return c;
}

QFont sized(const QFont &base, int pixels, QFont::Weight weight)
{
    QFont font(base);
    font.setPixelSize(pixels);
    font.setWeight(weight);
    return font;
}

} // namespace

// ---- HorizontalWheelScrollMonitor -------------------------------------------------------------

HorizontalWheelScrollMonitor::HorizontalWheelScrollMonitor(QWidget *target, std::function<void(double)> onScroll)
    : QObject(target), m_onScroll(std::move(onScroll))
{
    target->installEventFilter(this);
}

double HorizontalWheelScrollMonitor::delta(const QPoint &pixelDelta, const QPoint &angleDelta)
{
    // Qt counts a turn away from the user, or to the left, as positive; the strip moves the other way.
    if (!pixelDelta.isNull())
        return -(pixelDelta.x() != 0 ? pixelDelta.x() : pixelDelta.y());
    const int angle = angleDelta.x() != 0 ? angleDelta.x() : angleDelta.y();
    return -angle / 120.0 * pointsPerNotch;
}

bool HorizontalWheelScrollMonitor::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::Wheel)
        return QObject::eventFilter(watched, event);
    const auto *wheel = static_cast<QWheelEvent *>(event);
    if (const double d = delta(wheel->pixelDelta(), wheel->angleDelta()); d != 0 && m_onScroll)
        m_onScroll(d);
    return true;
}

// ---- RelatedSeparator -------------------------------------------------------------------------

RelatedSeparator::RelatedSeparator(QWidget *parent) : QWidget(parent)
{
    setFixedSize(sizeHint());
    setAccessibleName(QStringLiteral("Related clips"));
    setFont(sized(font(), 10, QFont::DemiBold));
}

void RelatedSeparator::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.fillRect(QRectF(0, 0, 1, height()), white(0.12));
    p.setPen(white(0.5));
    p.translate(width() / 2.0, height() / 2.0);
    p.rotate(-90);
    p.drawText(QRectF(-height() / 2.0, -width() / 2.0, height(), width()), Qt::AlignCenter, QStringLiteral("Related"));
}

// ---- SymbolMessageView ------------------------------------------------------------------------

SymbolMessageView::SymbolMessageView(QWidget *parent) : QWidget(parent)
{
}

void SymbolMessageView::setContent(const QString &symbol, const QString &title, const QString &subtitle,
                                   double symbolOpacity, const QColor &subtitleColor)
{
    m_symbol = symbol;
    m_title = title;
    m_subtitle = subtitle;
    m_symbolOpacity = symbolOpacity;
    m_subtitleColor = subtitleColor;
    update();
}

void SymbolMessageView::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QFont titleFont = sized(font(), 17, QFont::Normal);
    const QFont captionFont = sized(font(), 11, QFont::Normal);
    const int titleHeight = QFontMetrics(titleFont).height();
    const int captionHeight = m_subtitle.isEmpty() ? 0 : QFontMetrics(captionFont).height() + 4;
    const int total = 34 + 10 + titleHeight + captionHeight;
    double y = (height() - total) / 2.0;
    PanelGlyphs::paint(p, QRectF(width() / 2.0 - 17, y, 34, 34), m_symbol, white(m_symbolOpacity));
    y += 34 + 10;
    p.setFont(titleFont);
    p.setPen(white(0.85));
    p.drawText(QRectF(0, y, width(), titleHeight), Qt::AlignCenter,
               p.fontMetrics().elidedText(m_title, Qt::ElideMiddle, width() - 24));
    y += titleHeight + 4;
    if (!m_subtitle.isEmpty()) {
        p.setFont(captionFont);
        p.setPen(m_subtitleColor);
        p.drawText(QRectF(0, y, width(), captionHeight), Qt::AlignHCenter | Qt::AlignTop, m_subtitle);
    }
}

// ---- HistoryCardArea --------------------------------------------------------------------------

QString HistoryCardArea::noWordModelText()
{
    return QStringLiteral("Related clips can\u2019t be found: the word model for search by meaning could not be "
                          "loaded. Clips that contain your words are still shown.");
}

HistoryCardArea::HistoryCardArea(HistoryViewModel &model, ClipCardResources resources, QWidget *parent)
    : QStackedWidget(parent), m_model(model), m_resources(std::move(resources)), m_scroller(new QScrollArea),
      m_strip(new QWidget), m_separator(new RelatedSeparator), m_empty(new SymbolMessageView), m_locked(new QWidget),
      m_lockedTitle(new SymbolMessageView), m_unlockField(new QLineEdit), m_unlockError(new QLabel),
      m_noWordModelNote(new QLabel)
{
    if (!m_resources.backgrounds)
        m_resources.backgrounds = std::make_shared<ClipCardBackgrounds>();
    setFixedHeight(PanelMetrics::cardAreaHeight);

    auto *row = new QHBoxLayout(m_strip);
    row->setContentsMargins(14, 16, 14, 16);
    row->setSpacing(cardSpacing);
    row->setSizeConstraint(QLayout::SetFixedSize);
    row->addWidget(m_separator);
    m_separator->hide();
    m_noWordModelNote->setText(noWordModelText());
    m_noWordModelNote->setWordWrap(true);
    m_noWordModelNote->setFixedWidth(220);
    m_noWordModelNote->setFont(sized(font(), 11, QFont::Normal));
    m_noWordModelNote->setStyleSheet(QStringLiteral("color: rgba(255, 255, 255, 140);"));
    m_noWordModelNote->hide();
    row->addWidget(m_noWordModelNote);
    m_scroller->setWidget(m_strip);
    m_scroller->setWidgetResizable(false);
    m_scroller->setFrameShape(QFrame::NoFrame);
    m_scroller->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scroller->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scroller->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_scroller->setStyleSheet(
        QStringLiteral("QScrollArea, QScrollArea > QWidget > QWidget { background: transparent; }"));
    m_scroller->setFocusPolicy(Qt::NoFocus);
    new HorizontalWheelScrollMonitor(m_scroller->viewport(), [this](double d) { m_model.handleWheelScroll(d); });

    // The prompt's field shows what the panel's key capture typed; it never takes the keyboard.
    auto *lockedColumn = new QVBoxLayout(m_locked);
    lockedColumn->setContentsMargins(0, 8, 0, 8);
    lockedColumn->setSpacing(8);
    m_lockedTitle->setMinimumHeight(80);
    m_unlockField->setEchoMode(QLineEdit::Password);
    m_unlockField->setPlaceholderText(QStringLiteral("Password"));
    m_unlockField->setReadOnly(true);
    m_unlockField->setFocusPolicy(Qt::NoFocus);
    m_unlockField->setFixedSize(260, 34);
    m_unlockField->setFont(sized(font(), 14, QFont::Medium));
    m_unlockField->setTextMargins(13 - 2, 0, 13 - 2, 0);
    m_unlockField->setStyleSheet(QStringLiteral(
        "QLineEdit { color: white; background: rgba(255,255,255,23); border: 1px solid rgba(255,255,255,33);"
        " border-radius: 8px; }"));
    m_unlockError->setStyleSheet(QStringLiteral("color: rgba(255, 69, 58, 242);"));
    m_unlockError->setFont(sized(font(), 11, QFont::Normal));
    lockedColumn->addWidget(m_lockedTitle, 1);
    lockedColumn->addWidget(m_unlockField, 0, Qt::AlignHCenter);
    lockedColumn->addWidget(m_unlockError, 0, Qt::AlignHCenter);

    addWidget(m_scroller);
    addWidget(m_empty);
    addWidget(m_locked);
    connect(&m_model, &HistoryViewModel::changed, this, &HistoryCardArea::refresh);
    refresh();
}

ClipCardView *HistoryCardArea::card(int position) const
{
    for (size_t i = 0; i < m_cards.size(); ++i) {
        if (m_positions[i] == position && m_cards[i]->isVisible())
            return m_cards[i];
    }
    return nullptr;
}

void HistoryCardArea::refresh()
{
    const HistoryViewState &state = m_model.state();
    if (m_model.isSelectedPageLocked()) {
        m_lockedTitle->setContent(QStringLiteral("lock.fill"), m_model.lockedPromptTitle(), {}, 0.32, {});
        m_unlockField->setText(state.inlineUnlockPassword);
        m_unlockError->setText(state.inlineUnlockError);
        m_unlockError->setVisible(!state.inlineUnlockError.isEmpty());
        setCurrentWidget(m_locked);
        return;
    }
    const bool blankSearch = state.isSearchExpanded && state.query.trimmed().isEmpty();
    if (blankSearch || m_model.lists().navigableCount() == 0) {
        const EmptyStateContent empty = m_model.emptyState();
        const QString subtitle = state.isShowingNoWordModelNote && !blankSearch ? noWordModelText() : empty.subtitle;
        m_empty->setContent(empty.symbol, empty.title, subtitle, 0.25, white(0.5));
        setCurrentWidget(m_empty);
        return;
    }
    rebuildStrip();
    setCurrentWidget(m_scroller);
    if (m_stripTab != state.selectedTab) {
        m_stripTab = state.selectedTab;
        m_scroller->horizontalScrollBar()->setValue(0);
    }
    if (state.selectedIndex != m_shownSelection || state.selectionScrollRevision != m_shownScrollRevision) {
        m_shownSelection = state.selectedIndex;
        m_shownScrollRevision = state.selectionScrollRevision;
        if (!state.suppressSelectionScroll)
            scrollToSelection();
    }
}

void HistoryCardArea::rebuildStrip()
{
    const ClipLists &lists = m_model.lists();
    const HistoryViewState &state = m_model.state();
    auto *row = static_cast<QHBoxLayout *>(m_strip->layout());

    struct Entry {
        const ClipSnapshot *clip;
        int position;
        bool related;
    };
    std::vector<Entry> entries;
    for (int i = 0; i < lists.renderedCount(); ++i)
        entries.push_back({&lists.visibleAt(i), i, false});
    for (int j = 0; j < lists.relatedCount(); ++j)
        entries.push_back({&lists.relatedAt(j), lists.visibleCount() + j, true});

    while (m_cards.size() < entries.size()) {
        auto *card = new ClipCardView(m_resources, m_strip);
        const size_t index = m_cards.size();
        connect(card, &ClipCardView::clicked, this, [this, index] { m_model.selectCard(m_positions[index]); });
        connect(card, &ClipCardView::doubleClicked, this,
                [this, index] { m_model.selectAndPaste(m_positions[index]); });
        connect(card, &ClipCardView::contextMenuRequested, this, [this, index](const QPoint &at) {
            m_model.selectCard(m_positions[index]);
            if (onContextMenu)
                onContextMenu(m_cards[index]->inputs().item.id, at);
        });
        m_cards.push_back(card);
        m_positions.push_back(-1);
    }

    // Cards keep their place in the layout; the separator moves to where the related ones start.
    row->removeWidget(m_separator);
    for (ClipCardView *card : m_cards)
        row->removeWidget(card);
    bool separatorPlaced = false;
    for (size_t i = 0; i < m_cards.size(); ++i) {
        ClipCardView *card = m_cards[i];
        if (i >= entries.size()) {
            card->hide();
            m_positions[i] = -1;
            continue;
        }
        const Entry &e = entries[i];
        if (e.related && !separatorPlaced) {
            row->addWidget(m_separator, 0, Qt::AlignVCenter);
            separatorPlaced = true;
        }
        ClipCardInputs inputs = ClipCardInputs::forClip(*e.clip);
        inputs.isSelected = e.position == state.selectedIndex;
        if (!e.related && e.position < 9)
            inputs.quickPasteIndex = e.position;
        inputs.dataRevision = lists.cardDataRevision();
        if (e.clip->pageID)
            if (const PageSnapshot *page = lists.findPage(*e.clip->pageID))
                inputs.page = *page;
        card->setInputs(inputs);
        m_positions[i] = e.position;
        row->addWidget(card, 0, Qt::AlignVCenter);
        card->show();
    }
    m_separator->setVisible(separatorPlaced);
    if (!separatorPlaced)
        row->addWidget(m_separator);
    row->removeWidget(m_noWordModelNote);
    row->addWidget(m_noWordModelNote, 0, Qt::AlignVCenter);
    m_noWordModelNote->setVisible(state.isShowingNoWordModelNote);
    m_strip->adjustSize();
}

void HistoryCardArea::scrollToSelection()
{
    if (ClipCardView *selected = card(m_model.state().selectedIndex))
        m_scroller->ensureWidgetVisible(selected, 14, 0);
}

} // namespace quillmere
