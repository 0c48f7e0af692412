#include "Quillmere/Panel/Window/HistoryCardArea.h"

#include "Quillmere/Panel/HistoryViewModel.h"
#include "Quillmere/Panel/Window/PanelGeometry.h"
#include "Quillmere/Panel/Window/PanelGlyphs.h"

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

// ---- CardStripGeometry ------------------------------------------------------------------------

int CardStripGeometry::slotX(int slot) const
{
    if (slot < visible)
        return sideMargin + slot * pitch;
    return separatorX() + RelatedSeparator::fixedWidth + spacing + (slot - visible) * pitch;
}

int CardStripGeometry::noteX() const
{
    return related > 0 ? slotX(slotCount()) : separatorX();
}

int CardStripGeometry::rowHeight() const
{
    return std::max(slotCount() > 0 ? ClipCardView::cardHeight : 0, note.isEmpty() ? 0 : note.height());
}

QSize CardStripGeometry::size() const
{
    // Each piece ends a spacing before the next would start; the last one's is the right margin.
    const int end = note.isEmpty() ? noteX() : noteX() + note.width() + spacing;
    const int width = end == sideMargin ? 2 * sideMargin : end - spacing + sideMargin;
    return {width, 2 * topMargin + rowHeight()};
}

std::pair<int, int> CardStripGeometry::slotsIn(int left, int right) const
{
    // Slots run left to right, so each end is a binary search.
    int lo = 0, hi = slotCount();
    while (lo < hi) {
        const int mid = lo + (hi - lo) / 2;
        if (slotX(mid) + ClipCardView::cardWidth <= left)
            lo = mid + 1;
        else
            hi = mid;
    }
    const int first = lo;
    hi = slotCount();
    while (lo < hi) {
        const int mid = lo + (hi - lo) / 2;
        if (slotX(mid) < right)
            lo = mid + 1;
        else
            hi = mid;
    }
    return {first, lo - 1};
}

// ---- HistoryCardArea --------------------------------------------------------------------------

QString HistoryCardArea::noWordModelText()
{
    return QStringLiteral("Related clips can\u2019t be found: the word model for search by meaning could not be "
                          "loaded. Clips that contain your words are still shown.");
}

HistoryCardArea::HistoryCardArea(HistoryViewModel &model, ClipCardResources resources, QWidget *parent)
    : QStackedWidget(parent), m_model(model), m_resources(std::move(resources)), m_scroller(new QScrollArea),
      m_strip(new QWidget), m_separator(new RelatedSeparator(m_strip)), m_empty(new SymbolMessageView),
      m_locked(new QWidget), m_lockedTitle(new SymbolMessageView), m_unlockField(new QLineEdit),
      m_unlockError(new QLabel), m_noWordModelNote(new QLabel(m_strip))
{
    if (!m_resources.backgrounds)
        m_resources.backgrounds = std::make_shared<ClipCardBackgrounds>();
    setFixedHeight(PanelMetrics::cardAreaHeight);

    m_separator->hide();
    m_noWordModelNote->setText(noWordModelText());
    m_noWordModelNote->setWordWrap(true);
    m_noWordModelNote->setFixedWidth(220);
    m_noWordModelNote->setFont(sized(font(), 11, QFont::Normal));
    m_noWordModelNote->setStyleSheet(QStringLiteral("color: rgba(255, 255, 255, 140);"));
    m_noWordModelNote->hide();
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
    m_scroller->viewport()->installEventFilter(this);
    connect(m_scroller->horizontalScrollBar(), &QScrollBar::valueChanged, this, [this] { placeCards(); });

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

bool HistoryCardArea::eventFilter(QObject *watched, QEvent *event)
{
    // A wider panel shows more of the strip.
    if (watched == m_scroller->viewport() && event->type() == QEvent::Resize)
        placeCards();
    return QStackedWidget::eventFilter(watched, event);
}

ClipCardView *HistoryCardArea::card(int position) const
{
    for (size_t i = 0; i < m_cards.size(); ++i) {
        if (m_positions[i] == position)
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
    layoutStrip();
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

void HistoryCardArea::layoutStrip()
{
    const ClipLists &lists = m_model.lists();
    const bool note = m_model.state().isShowingNoWordModelNote;
    m_geometry.visible = lists.renderedCount();
    m_geometry.related = lists.relatedCount();
    m_geometry.note = note
        ? QSize(m_noWordModelNote->width(), m_noWordModelNote->heightForWidth(m_noWordModelNote->width()))
        : QSize();
    m_strip->resize(m_geometry.size());

    const QSize separator = m_separator->size();
    m_separator->move(m_geometry.separatorX(), m_geometry.top(separator.height()));
    m_separator->setVisible(m_geometry.related > 0);
    if (note)
        m_noWordModelNote->setGeometry(
            QRect(QPoint(m_geometry.noteX(), m_geometry.top(m_geometry.note.height())), m_geometry.note));
    m_noWordModelNote->setVisible(note);
    placeCards();
}

int HistoryCardArea::positionOfSlot(int slot) const
{
    return slot < m_geometry.visible ? slot : m_model.lists().visibleCount() + slot - m_geometry.visible;
}

int HistoryCardArea::slotOfPosition(int position) const
{
    const int visibleCount = m_model.lists().visibleCount();
    if (position < 0 || position >= m_model.lists().navigableCount())
        return -1;
    if (position < visibleCount)
        return position < m_geometry.visible ? position : -1;
    return m_geometry.visible + position - visibleCount;
}

ClipCardInputs HistoryCardArea::inputsAt(int position) const
{
    const ClipLists &lists = m_model.lists();
    const ClipSnapshot *clip = lists.navigableAt(position);
    if (!clip) {
        // A related clip whose contents are on their way: a blank card until they come.
        ClipCardInputs blank;
        blank.item.id = lists.relatedAt(position - lists.visibleCount()).id;
        blank.isSelected = position == m_model.state().selectedIndex;
        return blank;
    }
    ClipCardInputs inputs = ClipCardInputs::forClip(*clip);
    inputs.isSelected = position == m_model.state().selectedIndex;
    if (position < lists.visibleCount() && position < 9)
        inputs.quickPasteIndex = position;
    inputs.dataRevision = lists.cardDataRevision();
    if (clip->pageID)
        if (const PageSnapshot *page = lists.findPage(*clip->pageID))
            inputs.page = *page;
    return inputs;
}

ClipCardView *HistoryCardArea::makeCard()
{
    auto *card = new ClipCardView(m_resources, m_strip);
    const size_t index = m_cards.size();
    connect(card, &ClipCardView::clicked, this, [this, index] { m_model.selectCard(m_positions[index]); });
    connect(card, &ClipCardView::doubleClicked, this, [this, index] { m_model.selectAndPaste(m_positions[index]); });
    connect(card, &ClipCardView::contextMenuRequested, this, [this, index](const QPoint &at) {
        m_model.selectCard(m_positions[index]);
        if (onContextMenu)
            onContextMenu(m_cards[index]->inputs().item.id, at);
    });
    m_cards.push_back(card);
    m_positions.push_back(-1);
    return card;
}

void HistoryCardArea::placeCards()
{
    const int left = m_scroller->horizontalScrollBar()->value();
    const auto [first, last] =
        m_geometry.slotsIn(left - boundMargin, left + m_scroller->viewport()->width() + boundMargin);
    // Cards whose slot left the range, or whose position no longer has one, wait for another.
    for (size_t i = 0; i < m_cards.size(); ++i) {
        const int slot = slotOfPosition(m_positions[i]);
        if (m_positions[i] >= 0 && (slot < first || slot > last)) {
            m_positions[i] = -1;
            m_cards[i]->hide();
        }
    }
    size_t spare = 0;
    for (int slot = first; slot <= last; ++slot) {
        const int position = positionOfSlot(slot);
        ClipCardView *card = this->card(position);
        if (!card) {
            while (spare < m_cards.size() && m_positions[spare] >= 0)
                ++spare;
            card = spare < m_cards.size() ? m_cards[spare] : makeCard();
            m_positions[spare] = position;
        }
        card->setInputs(inputsAt(position));
        card->move(m_geometry.slotX(slot), m_geometry.top(ClipCardView::cardHeight));
        card->show();
    }
    if (first <= last)
        m_model.showingPositions(positionOfSlot(first), positionOfSlot(last));
}

void HistoryCardArea::scrollToSelection()
{
    // As QScrollArea::ensureWidgetVisible does for a widget, with a slot that may have none yet.
    const int slot = slotOfPosition(m_model.state().selectedIndex);
    if (slot < 0)
        return;
    QScrollBar *bar = m_scroller->horizontalScrollBar();
    const int width = m_scroller->viewport()->width();
    QRect focus(m_geometry.slotX(slot), m_geometry.top(ClipCardView::cardHeight), ClipCardView::cardWidth,
                ClipCardView::cardHeight);
    const QRect shown(bar->value(), m_scroller->verticalScrollBar()->value(), width, m_scroller->viewport()->height());
    if (shown.contains(focus))
        return;
    focus.adjust(-CardStripGeometry::sideMargin, 0, CardStripGeometry::sideMargin, 0);
    if (focus.width() > width)
        bar->setValue(focus.center().x() - width / 2);
    else if (focus.right() > shown.right())
        bar->setValue(focus.right() - width + 1);
    else if (focus.left() < shown.left())
        bar->setValue(focus.left());
}

} // namespace quillmere
