#include "Quillmere/Pages/PageTabActions.h"

#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Panel/HistoryStore.h"

#include <algorithm>

namespace quillmere {
namespace {

PageRef findPage(const std::vector<PageRef> &pages, const PersistentIdentifier &id)
{
    const auto it = std::find_if(pages.begin(), pages.end(),
                                 [&](const PageRef &p) { return !p->isDeleted() && p->persistentModelID() == id; });
    return it == pages.end() ? nullptr : *it;
}

} // namespace

std::vector<PageSnapshot> PageTabActions::pages() const
{
    std::vector<PageSnapshot> out;
    for (const PageRef &page : m_store.pages())
        if (!page->isDeleted())
            out.push_back(ClipStoreHistory::snapshotOf(*page));
    return out;
}

std::optional<PersistentIdentifier> PageTabActions::create()
{
    const PageRef page = m_store.createPage(QStringLiteral("Untitled"));
    return page ? std::optional(page->persistentModelID()) : std::nullopt;
}

bool PageTabActions::rename(const PersistentIdentifier &page, const QString &name)
{
    const QString trimmed = name.trimmed();
    const PageRef found = findPage(m_store.pages(), page);
    if (!found || trimmed.isEmpty())
        return false;
    return found->name() == trimmed || m_store.renamePage(found, trimmed);
}

bool PageTabActions::recolor(const PersistentIdentifier &page, const QString &colorName)
{
    const PageRef found = findPage(m_store.pages(), page);
    return found && (found->colorName() == colorName || m_store.setPageColor(found, colorName));
}

bool PageTabActions::remove(const PersistentIdentifier &page)
{
    const PageRef found = findPage(m_store.pages(), page);
    return found && m_store.deletePage(found);
}

bool PageTabActions::moveTo(const PersistentIdentifier &page, int index)
{
    const std::vector<PageRef> current = m_store.pages();
    std::vector<PersistentIdentifier> ids;
    for (const PageRef &p : current)
        ids.push_back(p->persistentModelID());
    const auto at = std::find(ids.begin(), ids.end(), page);
    if (at == ids.end() || !findPage(current, page))
        return false;
    std::vector<PageRef> order;
    for (const PersistentIdentifier &id : movedOrder(ids, int(at - ids.begin()), index))
        if (PageRef p = findPage(current, id))
            order.push_back(p);
    return m_store.reorderPages(order);
}

bool PageTabActions::moveBy(const PersistentIdentifier &page, int offset)
{
    const std::vector<PageSnapshot> current = pages();
    const auto at = std::find_if(current.begin(), current.end(), [&](const PageSnapshot &p) { return p.id == page; });
    return at != current.end() && moveTo(page, int(at - current.begin()) + offset);
}

std::vector<PersistentIdentifier> PageTabActions::movedOrder(std::vector<PersistentIdentifier> ids, int from, int to)
{
    if (ids.empty())
        return ids;
    const int last = int(ids.size()) - 1;
    from = std::clamp(from, 0, last);
    to = std::clamp(to, 0, last);
    const PersistentIdentifier moving = ids[from];
    ids.erase(ids.begin() + from);
    ids.insert(ids.begin() + to, moving);
    return ids;
}

} // namespace quillmere
