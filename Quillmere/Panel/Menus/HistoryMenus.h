#pragma once

#include "Quillmere/Model/Records.h"
#include "Quillmere/Panel/Menus/MenuModel.h"

namespace quillmere {

class HistoryActions;

// What the sync badge in the header's left slot shows.
struct PanelSyncBadge {
    enum class Tone { orange, green, dim, red };
    enum class State { syncing, noAccount, localOnly, ephemeral };
    struct Inputs {
        bool hasSyncError = false;
        bool isImporting = false;
        bool isExporting = false;
        State state = State::ephemeral;
    };

    QString symbol;
    QString label;
    Tone tone = Tone::dim;

    static PanelSyncBadge of(const Inputs &inputs);
    bool operator==(const PanelSyncBadge &) const = default;
};

// The history view's menus, built afresh from the model's state each time one opens. Entries
// call HistoryActions; nothing here draws.
class HistoryMenus {
public:
    explicit HistoryMenus(HistoryActions &actions) : m_actions(actions) {}

    MenuModel filtersMenu() const;
    bool filtersActive() const;
    MenuModel addMenu() const;
    MenuModel pasteStackMenu() const;
    MenuModel moreMenu() const;
    MenuModel clipContextMenu(const PersistentIdentifier &clip) const;

    // The header's add and paste-stack menus are off while a locked Page is shown.
    bool addMenuEnabled() const;
    bool pasteStackMenuEnabled() const { return addMenuEnabled(); }
    int pasteStackCount() const;
    QString pasteStackHelp() const;

    // A source application's name as the filter menu shows it.
    static QString sourceTitle(const QString &name);

private:
    HistoryActions &m_actions;
};

} // namespace quillmere
