#include "Quillmere/Panel/PanelTabs.h"

#include "Quillmere/Platform/Core/KeyNotation.h"

#include <algorithm>

namespace quillmere {

namespace PanelTabs {

int currentStop(bool searchExpanded, const PanelTab &tab, const std::vector<PageSnapshot> &pages)
{
    if (searchExpanded)
        return 0;
    if (tab.isHistory())
        return 1;
    auto it = std::find_if(pages.begin(), pages.end(), [&](const PageSnapshot &p) { return p.id == *tab.board; });
    return 2 + (it == pages.end() ? 0 : int(it - pages.begin()));
}

int stepStop(int current, int delta, int pageCount)
{
    const int n = pageCount + 2;
    return ((current + delta) % n + n) % n;
}

QString uuidText(const QUuid &id)
{
    return id.toString(QUuid::WithoutBraces).toUpper();
}

QString memoryText(const PanelTab &tab, const std::vector<PageSnapshot> &pages)
{
    if (!tab.isHistory()) {
        for (const PageSnapshot &page : pages) {
            if (page.id == *tab.board)
                return QStringLiteral("page:") + uuidText(page.dedupID);
        }
    }
    return QStringLiteral("history");
}

std::optional<PanelTab> pageTab(const QString &uuidString, const std::vector<PageSnapshot> &pages)
{
    // Only the bare 36-character form is a UUID here; braces are not.
    if (uuidString.size() != 36)
        return std::nullopt;
    const QUuid id = QUuid::fromString(uuidString);
    if (id.isNull())
        return std::nullopt;
    for (const PageSnapshot &page : pages) {
        if (page.dedupID == id)
            return PanelTab::page(page.id);
    }
    return std::nullopt;
}

PanelTab initialTab(const QString &behaviorRawValue, const QString &openPageID, const QString &lastUsedTarget,
                    const std::vector<PageSnapshot> &pages)
{
    std::optional<PanelTab> tab = PanelTab::history();
    switch (panelOpenBehaviorFromRaw(behaviorRawValue).value_or(PanelOpenBehavior::history)) {
    case PanelOpenBehavior::history:
        break;
    case PanelOpenBehavior::lastUsed:
        if (lastUsedTarget.isEmpty() || lastUsedTarget == QLatin1String("history"))
            tab = PanelTab::history();
        else if (lastUsedTarget.startsWith(QLatin1String("page:")))
            tab = pageTab(lastUsedTarget.mid(5), pages);
        else
            tab = std::nullopt;
        break;
    case PanelOpenBehavior::page:
        tab = pageTab(openPageID, pages);
        break;
    }
    return tab.value_or(PanelTab::history());
}

} // namespace PanelTabs

EmptyStateContent emptyStateContent(bool searchExpanded, const QString &query, bool imageInboxOnly,
                                    const PageSnapshot *page, const QString &storeUnusableNotice)
{
    if (searchExpanded && query.trimmed().isEmpty())
        return {QStringLiteral("Search clips"), QStringLiteral("Text, links, files, screenshots, and saved Pages."),
                QStringLiteral("magnifyingglass")};
    if (!query.isEmpty())
        return {QStringLiteral("No clips match \u201C") + query + QStringLiteral("\u201D"),
                QStringLiteral("Try a different search."), QStringLiteral("magnifyingglass")};
    if (imageInboxOnly)
        return {QStringLiteral("Screenshot Inbox is empty"),
                QStringLiteral("Captured screenshots and image files appear here."), QStringLiteral("text.viewfinder")};
    // Not a new start: the clips are on disk, only not here yet.
    if (!page && !storeUnusableNotice.isEmpty())
        return {QStringLiteral("Your clipboard history is kept on disk"), storeUnusableNotice,
                QStringLiteral("doc.on.clipboard")};
    if (!page)
        return {QStringLiteral("Copy something to get started"),
                QStringLiteral("Press %1 anytime to open Brindlewax.").arg(panelShortcutText()),
                QStringLiteral("doc.on.clipboard")};
    return {page->displayName() + QStringLiteral(" is empty"),
            QStringLiteral("Right-click any clip to save it to this page."), page->iconName};
}

} // namespace quillmere
