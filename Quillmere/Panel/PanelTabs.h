#pragma once

#include "Quillmere/Panel/PanelTypes.h"

#include <vector>

namespace quillmere {

// The tab rules of the history view that need nothing but the Pages: the ring the keyboard walks,
// the tab memory, and the tab the panel opens on.
namespace PanelTabs {

// Stop 0 is the search field, stop 1 the history, stop 2 + k the Page at position k. A Page that
// is not found counts as the first one.
int currentStop(bool searchExpanded, const PanelTab &tab, const std::vector<PageSnapshot> &pages);
// The stop `delta` away on the ring of pages + 2 stops, wrapping both ways.
int stepStop(int current, int delta, int pageCount);

// The canonical text of a dedupID: upper case, hyphens, no braces.
QString uuidText(const QUuid &id);
// "history", or "page:" and the Page's dedupID; "history" for a Page that is not there.
QString memoryText(const PanelTab &tab, const std::vector<PageSnapshot> &pages);
// The tab of the Page whose dedupID this text names; none for a malformed text or no such Page.
std::optional<PanelTab> pageTab(const QString &uuidString, const std::vector<PageSnapshot> &pages);
// The tab the panel opens on for the "open on" preference; the history whenever the choice
// names nothing that exists.
PanelTab initialTab(const QString &behaviorRawValue, const QString &openPageID, const QString &lastUsedTarget,
                    const std::vector<PageSnapshot> &pages);

} // namespace PanelTabs

struct EmptyStateContent {
    QString title;
    QString subtitle;
    QString symbol;
    bool operator==(const EmptyStateContent &) const = default;
};

// What the card area says when it has no clips to show. `page` is the selected Page, if any;
// `storeUnusableNotice` why the history cannot be shown from its store now, where it waits as it was.
EmptyStateContent emptyStateContent(bool searchExpanded, const QString &query, bool imageInboxOnly,
                                    const PageSnapshot *page, const QString &storeUnusableNotice = {});

} // namespace quillmere
