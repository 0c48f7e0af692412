#include "Quillmere/Panel/Window/HistoryListView.h"

#include "Quillmere/Panel/HistoryViewModel.h"
#include "Quillmere/Panel/Window/PanelGeometry.h"

#include <QLabel>
#include <QListWidget>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace quillmere {
namespace {

constexpr int cardWidth = 200;
constexpr int cardTextLimit = 160;

QString nonBlank(const std::optional<QString> &text)
{
    return text && !text->trimmed().isEmpty() ? *text : QString();
}

} // namespace

QString HistoryListView::cardText(const ClipSnapshot &clip)
{
    QString text = nonBlank(clip.customTitle);
    if (text.isEmpty() && clip.kind() == ClipKind::file)
        text = nonBlank(clip.fileName);
    if (text.isEmpty() && clip.kind() == ClipKind::url)
        text = nonBlank(clip.linkTitle);
    if (text.isEmpty())
        text = clip.primaryText.value_or(QString());
    if (text.isEmpty())
        text = kindSearchLabel(clip.kind());
    text = text.simplified();
    return text.size() > cardTextLimit ? text.left(cardTextLimit) + QChar(0x2026) : text;
}

HistoryListView::HistoryListView(HistoryViewModel &model, QWidget *parent)
    : QWidget(parent), m_model(model), m_header(new QLabel(this)), m_body(new QStackedWidget(this)),
      m_list(new QListWidget(this)), m_empty(new QLabel(this))
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    m_header->setFixedHeight(PanelMetrics::headerHeight);
    m_header->setContentsMargins(20, 0, 20, 0);
    auto *divider = new QWidget(this);
    divider->setFixedHeight(PanelMetrics::dividerHeight);
    divider->setStyleSheet(QStringLiteral("background: rgba(255, 255, 255, 89);"));
    m_body->setFixedHeight(PanelMetrics::cardAreaHeight);
    m_body->addWidget(m_list);
    m_body->addWidget(m_empty);
    layout->addWidget(m_header);
    layout->addWidget(divider);
    layout->addWidget(m_body);
    layout->addStretch(1);

    setStyleSheet(
        QStringLiteral("QLabel { color: #f2f2f7; font-size: 15px; font-weight: 600; }"
                       "QListWidget { background: transparent; border: none; color: #f2f2f7; font-size: 13px; }"
                       "QListWidget::item { background: #2c2c30; border-radius: 10px; margin: 8px 6px; padding: 10px; }"
                       "QListWidget::item:selected { background: #0a64d8; color: white; }"));
    m_empty->setAlignment(Qt::AlignCenter);
    m_list->setFlow(QListView::LeftToRight);
    m_list->setWrapping(false);
    m_list->setWordWrap(true);
    m_list->setTextElideMode(Qt::ElideRight);
    m_list->setUniformItemSizes(true);
    m_list->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    m_list->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    // The panel owns the keyboard; the list never takes the focus from it.
    m_list->setFocusPolicy(Qt::NoFocus);
    for (QWidget *w :
         {static_cast<QWidget *>(m_header), static_cast<QWidget *>(m_body), static_cast<QWidget *>(m_empty)})
        w->setFocusPolicy(Qt::NoFocus);

    connect(m_list, &QListWidget::itemClicked, this,
            [this](QListWidgetItem *item) { m_model.selectCard(navigableIndexOfRow(m_list->row(item))); });
    connect(m_list, &QListWidget::itemDoubleClicked, this,
            [this](QListWidgetItem *item) { m_model.selectAndPaste(navigableIndexOfRow(m_list->row(item))); });
    connect(&m_model, &HistoryViewModel::changed, this, &HistoryListView::refresh);
    refresh();
}

int HistoryListView::navigableIndexOfRow(int row) const
{
    if (m_relatedStartRow >= 0 && row >= m_relatedStartRow)
        return m_model.lists().visibleCount() + (row - m_relatedStartRow);
    return row;
}

void HistoryListView::refresh()
{
    const HistoryViewState &state = m_model.state();
    const ClipLists &lists = m_model.lists();
    QString title = state.selectedTab.isHistory()
        ? QStringLiteral("Clipboard History")
        : (m_model.selectedPage() ? m_model.selectedPage()->displayName() : QStringLiteral("Page"));
    if (m_model.isSelectedPageLocked())
        title = m_model.lockedPromptTitle();
    else if (state.isSearchExpanded)
        title = QStringLiteral("Search: ") + state.query;
    m_header->setText(title);

    // The rendered part of the visible clips; the related ones follow once all of those are in.
    QStringList texts;
    const int rendered = lists.renderedCount();
    for (int i = 0; i < rendered; ++i)
        texts << cardText(lists.visibleAt(i));
    m_relatedStartRow = -1;
    if (rendered == lists.visibleCount() && lists.relatedCount() > 0) {
        m_relatedStartRow = int(texts.size());
        for (int i = 0; i < lists.relatedCount(); ++i)
            texts << cardText(lists.relatedAt(i));
    }
    if (texts != m_shownTexts) {
        m_shownTexts = texts;
        m_list->clear();
        for (const QString &text : texts) {
            auto *item = new QListWidgetItem(text, m_list);
            item->setSizeHint(QSize(cardWidth, PanelMetrics::cardAreaHeight - 8));
            item->setTextAlignment(Qt::AlignLeft | Qt::AlignTop);
        }
    }

    if (texts.isEmpty()) {
        const EmptyStateContent empty = m_model.emptyState();
        m_empty->setText(empty.subtitle.isEmpty() ? empty.title : empty.title + QLatin1Char('\n') + empty.subtitle);
        m_body->setCurrentWidget(m_empty);
        return;
    }
    m_body->setCurrentWidget(m_list);
    int row = state.selectedIndex;
    if (row >= rendered)
        row = m_relatedStartRow >= 0 ? m_relatedStartRow + (row - lists.visibleCount()) : -1;
    if (row >= 0 && row < m_list->count()) {
        m_list->setCurrentRow(row);
        m_list->scrollToItem(m_list->item(row));
    } else {
        m_list->clearSelection();
    }
}

} // namespace quillmere
