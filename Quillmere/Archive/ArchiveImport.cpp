// Page archives and backups in and out of the store, through its public operations.

#include "Quillmere/Archive/ArchiveImport.h"

#include "Quillmere/Model/ClipPresentation.h"
#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Platform/Core/HandOver.h"

#include <QHash>
#include <QSet>
#include <QtConcurrent>
#include <algorithm>

namespace quillmere::archive {

PageArchive makePageArchive(const ClipStore &store, const PageRef &page)
{
    PageArchive result;
    if (!page)
        return result;
    result.version = PageArchive::currentVersion;
    result.name = page->displayName();
    result.colorName = page->colorName();
    result.iconName = page->iconName();
    result.exportedAt = roundedToSecond(store.now());

    std::vector<ClipRef> items = page->items();
    // Oldest first; equal dates keep the order in which they joined the store.
    std::sort(items.begin(), items.end(), [](const ClipRef &a, const ClipRef &b) {
        if (a->createdAt() != b->createdAt())
            return a->createdAt() < b->createdAt();
        return a->persistentModelID().rowID < b->persistentModelID().rowID;
    });
    for (const ClipRef &clip : items) {
        if (clip->expiresAt())
            continue;
        result.clips.push_back(ArchivedClip::from(*clip));
    }
    return result;
}

PageRef importPage(ClipStore &store, const PageArchive &archive)
{
    ModelContext &ctx = store.context();
    qint64 next = 0;
    for (const PageRef &existing : ctx.pinboards())
        next = std::max(next, existing->sortOrder() + 1);
    auto page = std::make_shared<Pinboard>();
    page->setName(archive.name);
    if (!archive.colorName.isEmpty())
        page->setColorName(archive.colorName);
    if (!archive.iconName.isEmpty())
        page->setIconName(archive.iconName);
    page->setSortOrder(next);
    page->setCreatedAt(store.now());
    ctx.insert(page);

    for (const ArchivedClip &archived : archive.clips) {
        const CapturedContent content = archived.capturedContent();
        const QString hash = content.contentHash();
        // Reuse a copy that sits in the history; one on another Page belongs to that Page.
        ClipRef clip;
        for (const ClipRef &candidate : ctx.clipsWithHash(hash)) {
            if (!candidate->pinboard() || candidate->pinboard() == page) {
                clip = candidate;
                break;
            }
        }
        if (!clip) {
            clip = store.makeClip(content);
            ctx.insert(clip);
        }
        if (archived.customTitle && !archived.customTitle->isEmpty())
            clip->setCustomTitle(archived.customTitle);
        clip->setPinboard(page);
        clip->setIsSavedToPage(true);
        clip->setIsPinned(true);
        clip->setExpiresAt(std::nullopt);
    }
    if (!store.saveOrRollback("Failed to import page: %s"))
        return nullptr;
    return page;
}

PreparedArchive prepareArchive(ClipArchiveDocument document)
{
    PreparedArchive prepared;
    const size_t count = document.clips.size();
    prepared.contents.resize(count);
    prepared.hashes.resize(count);
    std::vector<size_t> indices(count);
    for (size_t i = 0; i < count; ++i)
        indices[i] = i;
    QtConcurrent::blockingMap(QThreadPool::globalInstance(), indices, QUILLMERE_HANDED_OVER(&indices, [&](size_t i) {
                                  prepared.contents[i] = document.clips[i].restoredContent();
                                  prepared.hashes[i] = document.clips[i].recomputedHash(prepared.contents[i]);
                              }));
    takeOver(&indices);
    prepared.document = std::move(document);
    return prepared;
}

std::optional<ArchiveImportResult> importArchive(ClipStore &store, const ClipArchiveDocument &document)
{
    return importArchive(store, prepareArchive(document));
}

std::optional<ArchiveImportResult> importArchive(ClipStore &store, const PreparedArchive &prepared)
{
    const ClipArchiveDocument &document = prepared.document;
    ModelContext &ctx = store.context();

    QSet<QString> storedHashes;
    QHash<QUuid, QString> storedHashByID;
    ctx.forEachClip([&](const ClipRef &clip) {
        storedHashes.insert(clip->contentHash());
        storedHashByID.insert(clip->dedupID(), clip->contentHash());
    });

    // Hashes in the file are not trusted: a wrong or empty one must not hide a real clip. A record
    // of the very clip stored here (same identity, same hash) keeps its hash, though: worked out
    // again from the restored content (file paths cut to names) it would differ, and restoring a
    // backup into the store it came from would copy every file clip.
    ClipArchiveDocument checked = document;
    for (size_t i = 0; i < checked.clips.size(); ++i) {
        ClipArchiveClip &clip = checked.clips[i];
        const QUuid id = QUuid::fromString(clip.dedupID);
        const auto stored = storedHashByID.constFind(id);
        if (!id.isNull() && stored != storedHashByID.cend() && !clip.contentHash.isEmpty()
            && *stored == clip.contentHash)
            continue;
        clip.contentHash = prepared.hashes[i];
    }
    // Which content goes with which kept clip: the split keeps the archive's order.
    std::vector<const CapturedContent *> keptContent;
    {
        QSet<QString> seen = storedHashes;
        for (size_t i = 0; i < checked.clips.size(); ++i)
            if (!seen.contains(checked.clips[i].contentHash)) {
                seen.insert(checked.clips[i].contentHash);
                keptContent.push_back(&prepared.contents[i]);
            }
    }
    const ClipArchiveDocument::ImportSplit split = checked.clipsToImport(storedHashes);
    Q_ASSERT(keptContent.size() == split.clips.size());

    // Pages are matched by the name shown; missing ones are added after the existing Pages.
    QHash<QString, PageRef> pagesByName;
    qint64 nextOrder = 0;
    for (const PageRef &page : ctx.pinboards()) {
        if (!pagesByName.contains(page->displayName()))
            pagesByName.insert(page->displayName(), page);
        nextOrder = std::max(nextOrder, page->sortOrder() + 1);
    }
    std::vector<ClipArchivePinboard> archivedPages = checked.pinboards;
    std::stable_sort(archivedPages.begin(), archivedPages.end(),
                     [](const auto &a, const auto &b) { return a.sortOrder < b.sortOrder; });
    auto pageNamed = [&](const QString &name, const ClipArchivePinboard *shape) {
        if (PageRef existing = pagesByName.value(name))
            return existing;
        auto page = std::make_shared<Pinboard>();
        page->setName(name == QLatin1String("Untitled") ? QString() : name);
        if (shape && !shape->colorName.isEmpty())
            page->setColorName(shape->colorName);
        if (shape && !shape->iconName.isEmpty())
            page->setIconName(shape->iconName);
        page->setSortOrder(nextOrder++);
        page->setCreatedAt(store.now());
        ctx.insert(page);
        pagesByName.insert(name, page);
        return PageRef(page);
    };
    for (const ClipArchivePinboard &shape : archivedPages)
        pageNamed(shape.name, &shape);

    for (size_t i = 0; i < split.clips.size(); ++i) {
        const ClipArchiveClip &archived = split.clips[i];
        const CapturedContent &content = *keptContent[i];
        const ClipRef clip = store.makeClip(content, archived.contentHash);
        const QUuid id = QUuid::fromString(archived.dedupID);
        if (!id.isNull() && !storedHashByID.contains(id))
            clip->setDedupID(id);
        storedHashByID.insert(clip->dedupID(), archived.contentHash);
        if (archived.createdAt.isValid())
            clip->setCreatedAt(archived.createdAt);
        clip->setCustomTitle(archived.customTitle);
        clip->setLinkTitle(archived.linkTitle);
        clip->setIsPinned(archived.isPinned);
        clip->setIsSavedToPage(archived.isSavedToPage);
        clip->setExpiresAt(std::nullopt);
        if (archived.pageName)
            clip->setPinboard(pageNamed(*archived.pageName, nullptr));
        ctx.insert(clip);
    }
    if (!store.saveOrRollback("Failed to import archive: %s"))
        return std::nullopt;
    return ArchiveImportResult{int(split.clips.size()), split.skipped};
}

} // namespace quillmere::archive
