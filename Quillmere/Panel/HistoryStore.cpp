#include "Quillmere/Panel/HistoryStore.h"

#include "Quillmere/Model/ClipPresentation.h"
#include "Quillmere/Model/ClipStore.h"

namespace quillmere {

ClipStoreHistory::ClipStoreHistory(ClipStore &store, QObject *parent) : HistoryStore(parent), m_store(store)
{
    connect(&store, &ClipStore::didSave, this, &HistoryStore::changed);
}

ClipSnapshot ClipStoreHistory::snapshotOf(const ClipItem &clip)
{
    ClipSnapshot s;
    s.id = clip.persistentModelID();
    s.dedupID = clip.dedupID();
    s.createdAt = clip.createdAt();
    s.kindRawValue = clip.kindRawValue();
    s.text = clip.text();
    s.customTitle = clip.customTitle();
    s.fileName = clip.fileName();
    s.linkTitle = clip.linkTitle();
    s.recognizedText = clip.recognizedText();
    s.sourceAppName = clip.sourceAppName();
    s.sourceAppBundleID = clip.sourceAppBundleID();
    s.isPinned = clip.isPinned();
    s.isSavedToPage = clip.isSavedToPage();
    if (const PageRef &page = clip.pinboard(); page && !page->isDeleted())
        s.pageID = page->persistentModelID();
    s.hasImageData = clip.hasImageData();
    s.contentHash = clip.contentHash();
    s.primaryText = primaryText(clip);
    return s;
}

PageSnapshot ClipStoreHistory::snapshotOf(const Pinboard &page)
{
    return PageSnapshot{page.persistentModelID(), page.dedupID(),  page.name(),
                        page.colorName(),         page.iconName(), page.isLocked()};
}

HistorySnapshot ClipStoreHistory::snapshot() const
{
    HistorySnapshot out;
    const std::vector<ClipRef> clips = m_store.historyNewestFirst();
    out.clips.reserve(clips.size());
    for (const ClipRef &clip : clips) {
        if (!clip->isDeleted())
            out.clips.push_back(snapshotOf(*clip));
    }
    for (const PageRef &page : m_store.pages()) {
        if (!page->isDeleted())
            out.pages.push_back(snapshotOf(*page));
    }
    return out;
}

PageRef ClipStoreHistory::findPage(const PersistentIdentifier &id) const
{
    for (const PageRef &page : m_store.pages()) {
        if (page->persistentModelID() == id && !page->isDeleted())
            return page;
    }
    return nullptr;
}

bool ClipStoreHistory::verifyPageLock(const PersistentIdentifier &page, const QString &password)
{
    const PageRef found = findPage(page);
    return found && m_store.verifyPageLock(found, password);
}

bool ClipStoreHistory::insertManualClip(const CapturedContent &content, const std::optional<PersistentIdentifier> &page)
{
    // A Page that is gone by now sends the clip to the history, as an unselected Page would.
    const PageRef target = page ? findPage(*page) : nullptr;
    return m_store.insertManualClip(content, target, std::nullopt) != nullptr;
}

} // namespace quillmere
