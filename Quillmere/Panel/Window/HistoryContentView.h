#pragma once

#include "Quillmere/Pages/Widgets/ClipCardView.h"
#include "Quillmere/Panel/Window/HistoryHeaderBar.h"

#include <QWidget>

class QMenu;

namespace quillmere {

class HistoryActions;
class HistoryCardArea;
class HistoryDialogs;
class HistoryViewModel;

// The panel's content: the header row (52), a divider at 0.35 opacity and the card area (172),
// with the dialogs the view's state asks for.
class HistoryContentView : public QWidget {
    Q_OBJECT
public:
    HistoryContentView(HistoryViewModel &model, HistoryActions &actions, ClipCardResources cards,
                       HistoryHeaderBar::SyncSource sync, QWidget *parent = nullptr);
    ~HistoryContentView() override;

    HistoryHeaderBar &header() const { return *m_header; }
    HistoryCardArea &cardArea() const { return *m_cards; }
    HistoryDialogs &dialogs() const { return *m_dialogs; }
    HistoryMenus &menus() { return m_menus; }
    // Opens a clip's context menu at a global position, as a right click does.
    QMenu *openClipMenu(const PersistentIdentifier &clip, const QPoint &globalPosition);

private:
    HistoryViewModel &m_model;
    HistoryMenus m_menus;
    HistoryHeaderBar *m_header;
    HistoryCardArea *m_cards;
    HistoryDialogs *m_dialogs;
};

} // namespace quillmere
