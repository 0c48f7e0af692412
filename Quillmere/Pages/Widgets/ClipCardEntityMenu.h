#pragma once

#include "Quillmere/Pages/ClipEntityAction.h"

#include <vector>

class QMenu;

namespace quillmere {

class PasteboardWriter;

// The entity part of a clip's context menu: one entry per action, in order, each performing its
// action when chosen. Placed after a divider, and only when there are actions.
class ClipCardEntityMenu {
public:
    ClipCardEntityMenu(std::vector<ClipEntityAction> actions, EntityActionHandlers handlers);

    const std::vector<ClipEntityAction> &actions() const { return m_actions; }
    bool isEmpty() const { return m_actions.empty(); }

    // The desktop for opening, the program's pasteboard writer (with its own-write notice) for copies.
    static EntityActionHandlers handlers(PasteboardWriter &writer);

    // Adds the divider and the entries to `menu`; nothing when there are no actions.
    void addTo(QMenu &menu) const;

private:
    std::vector<ClipEntityAction> m_actions;
    EntityActionHandlers m_handlers;
};

} // namespace quillmere
