#include "Quillmere/Panel/Window/HistoryContentView.h"

#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Panel/HistoryViewModel.h"
#include "Quillmere/Panel/Menus/HistoryActions.h"
#include "Quillmere/Panel/Window/HistoryCardArea.h"
#include "Quillmere/Panel/Window/HistorySheets.h"
#include "Quillmere/Panel/Window/PanelGeometry.h"

#include <QMenu>
#include <QVBoxLayout>

namespace quillmere {

HistoryContentView::HistoryContentView(HistoryViewModel &model, HistoryActions &actions, ClipCardResources cards,
                                       HistoryHeaderBar::SyncSource sync, QWidget *parent)
    : QWidget(parent), m_model(model), m_menus(actions)
{
    m_header = new HistoryHeaderBar(model, m_menus, actions.store(), std::move(sync));
    m_header->setFixedHeight(PanelMetrics::headerHeight);
    auto *divider = new QWidget;
    divider->setFixedHeight(PanelMetrics::dividerHeight);
    divider->setAttribute(Qt::WA_StyledBackground);
    divider->setStyleSheet(QStringLiteral("background: rgba(255, 255, 255, 89);"));
    m_cards = new HistoryCardArea(model, std::move(cards));
    m_cards->onContextMenu = [this](const PersistentIdentifier &clip, const QPoint &at) { openClipMenu(clip, at); };

    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(m_header);
    column->addWidget(divider);
    column->addWidget(m_cards);
    column->addStretch(1);
    for (QWidget *w : {static_cast<QWidget *>(m_header), divider, static_cast<QWidget *>(m_cards)})
        w->setFocusPolicy(Qt::NoFocus);
    // The window's own palette is light; the panel is dark.
    QPalette dark = palette();
    dark.setColor(QPalette::Window, QColor(24, 24, 27));
    dark.setColor(QPalette::WindowText, Qt::white);
    dark.setColor(QPalette::Base, QColor(44, 44, 48));
    dark.setColor(QPalette::Text, Qt::white);
    dark.setColor(QPalette::Button, QColor(44, 44, 48));
    dark.setColor(QPalette::ButtonText, Qt::white);
    dark.setColor(QPalette::Highlight, QColor(10, 132, 255));
    setPalette(dark);

    m_dialogs = new HistoryDialogs(model, actions, this);
    connect(&m_model, &HistoryViewModel::changed, m_header, &HistoryHeaderBar::refresh);
    m_dialogs->refresh();
}

HistoryContentView::~HistoryContentView() = default;

QMenu *HistoryContentView::openClipMenu(const PersistentIdentifier &clip, const QPoint &globalPosition)
{
    const MenuModel model = m_menus.clipContextMenu(clip);
    if (model.empty())
        return nullptr;
    auto *menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    fillMenu(*menu, model);
    menu->popup(globalPosition);
    return menu;
}

} // namespace quillmere
