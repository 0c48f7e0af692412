#pragma once

#include "Quillmere/Panel/PanelTypes.h"

#include <optional>
#include <vector>

namespace quillmere {

class ClipStore;

// The Page changes the tab strip and the tab-order settings ask for, by identifier, each saved
// through the store at once. A Page that is gone by then is left alone and the change reports
// false.
class PageTabActions {
public:
    explicit PageTabActions(ClipStore &store) : m_store(store) {}

    // Every Page by sort order, then creation date.
    std::vector<PageSnapshot> pages() const;

    // A new "Untitled" Page after all others, with the store's colour and icon.
    std::optional<PersistentIdentifier> create();
    // Blank names are refused; the name is kept as typed otherwise, trimmed.
    bool rename(const PersistentIdentifier &page, const QString &name);
    bool recolor(const PersistentIdentifier &page, const QString &colorName);
    // The Page goes; its clips return to the history.
    bool remove(const PersistentIdentifier &page);
    // Puts the Page at `index` of the tab order and numbers every Page 0, 1, 2... in that order.
    bool moveTo(const PersistentIdentifier &page, int index);
    bool moveBy(const PersistentIdentifier &page, int offset);

    // `ids` with the one at `from` taken out and put back at `to` (both clamped to the list).
    static std::vector<PersistentIdentifier> movedOrder(std::vector<PersistentIdentifier> ids, int from, int to);

private:
    ClipStore &m_store;
};

} // namespace quillmere
