#include "Quillmere/Pages/Widgets/PageTabOrderSettingsView.h"

#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Pages/PageColors.h"
#include "Quillmere/Pages/Widgets/PagesGlyphs.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

namespace quillmere {

PageTabOrderSettingsView::PageTabOrderSettingsView(ClipStore &store, QWidget *parent)
    : QWidget(parent), m_actions(store), m_list(new QListWidget(this)),
      m_empty(
          new QLabel(QStringLiteral("No Pages yet. Pages you create appear here in the order of their tabs."), this)),
      m_up(new QPushButton(QStringLiteral("Move Up"), this)), m_down(new QPushButton(QStringLiteral("Move Down"), this))
{
    auto *layout = new QVBoxLayout(this);
    auto *intro = new QLabel(QStringLiteral("The order of the Page tabs in the panel, after Clipboard History."), this);
    intro->setWordWrap(true);
    layout->addWidget(intro);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setAccessibleName(QStringLiteral("Page tab order"));
    layout->addWidget(m_list, 1);
    m_empty->setWordWrap(true);
    layout->addWidget(m_empty);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_up);
    buttons->addWidget(m_down);
    layout->addLayout(buttons);

    connect(m_up, &QPushButton::clicked, this, [this] { moveSelected(-1); });
    connect(m_down, &QPushButton::clicked, this, [this] { moveSelected(1); });
    connect(m_list, &QListWidget::currentRowChanged, this, &PageTabOrderSettingsView::updateButtons);
    connect(&store, &ClipStore::didSave, this, &PageTabOrderSettingsView::reload);
    reload();
}

void PageTabOrderSettingsView::moveSelected(int offset)
{
    const int row = m_list->currentRow();
    if (row < 0 || row >= int(m_pages.size()))
        return;
    const PersistentIdentifier id = m_pages[size_t(row)].id;
    m_actions.moveBy(id, offset);
    reload();
    for (size_t i = 0; i < m_pages.size(); ++i)
        if (m_pages[i].id == id)
            m_list->setCurrentRow(int(i));
}

void PageTabOrderSettingsView::reload()
{
    std::vector<PageSnapshot> pages = m_actions.pages();
    if (pages == m_pages && m_list->count() == int(pages.size()))
        return;
    std::optional<PersistentIdentifier> current;
    if (const int row = m_list->currentRow(); row >= 0 && row < int(m_pages.size()))
        current = m_pages[size_t(row)].id;
    m_pages = std::move(pages);
    m_list->clear();
    for (const PageSnapshot &page : m_pages) {
        auto *item =
            new QListWidgetItem(PagesGlyphs::swatch(PageColors::color(page.colorName)), page.displayName(), m_list);
        if (page.isLocked)
            item->setToolTip(QStringLiteral("Locked"));
    }
    for (size_t i = 0; i < m_pages.size(); ++i)
        if (m_pages[i].id == current)
            m_list->setCurrentRow(int(i));
    m_list->setVisible(!m_pages.empty());
    m_empty->setVisible(m_pages.empty());
    updateButtons();
}

void PageTabOrderSettingsView::updateButtons()
{
    const int row = m_list->currentRow();
    m_up->setEnabled(row > 0);
    m_down->setEnabled(row >= 0 && row + 1 < int(m_pages.size()));
}

} // namespace quillmere
