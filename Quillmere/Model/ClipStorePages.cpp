// Pages, page locks, manual clips, the archive imports and the duplicate sweep.

#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Model/TextMeasures.h"

#include "Quillmere/Model/SHA256Digest.h"
#include "Quillmere/Platform/Json.h"
#include "Quillmere/Platform/Logging.h"

#include <QHash>
#include <QRandomGenerator>
#include <QTextBoundaryFinder>
#include <algorithm>
#include <QSet>

namespace quillmere {
namespace {

constexpr int kLockSaltBytes = 16;

qsizetype graphemeCount(const QString &text)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype count = 0;
    while (finder.toNextBoundary() != -1)
        ++count;
    return count;
}

QString lockDigest(const QString &salt, const QString &password)
{
    return SHA256Digest::of((salt + password).toUtf8()).hexString();
}

// Compares without stopping at the first difference, so timing says nothing about the digest.
bool equalInConstantTime(const QString &a, const QString &b)
{
    if (a.size() != b.size())
        return false;
    char16_t diff = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        diff |= a[i].unicode() ^ b[i].unicode();
    return diff == 0;
}

bool attached(const PageRef &page, const ModelContext &ctx)
{
    return page && !page->isDeleted() && page->modelContext() == &ctx;
}

} // namespace

std::vector<PageRef> ClipStore::pages() const
{
    return context().pinboards();
}

PageRef ClipStore::createPage(const QString &name, const std::optional<QString> &colorName,
                              const std::optional<QString> &iconName)
{
    ModelContext &ctx = context();
    qint64 next = 0;
    for (const PageRef &page : ctx.pinboards())
        next = std::max(next, page->sortOrder() + 1);
    auto page = std::make_shared<Pinboard>();
    page->setName(name);
    if (colorName && !colorName->isEmpty())
        page->setColorName(*colorName);
    if (iconName && !iconName->isEmpty())
        page->setIconName(*iconName);
    page->setSortOrder(next);
    page->setCreatedAt(now());
    ctx.insert(page);
    if (!saveOrRollback("Failed to create page: %s"))
        return nullptr;
    return page;
}

void ClipStore::assignClip(const ClipRef &clip, const PageRef &page)
{
    ModelContext &ctx = context();
    if (!clip || clip->isDeleted() || (page && !attached(page, ctx)))
        return;
    clip->setPinboard(page);
    clip->setIsSavedToPage(page != nullptr);
    if (page)
        clip->setExpiresAt(std::nullopt);
    saveOrRollback("Failed to assign clip: %s");
}

bool ClipStore::setPageLock(const PageRef &page, const QString &password)
{
    if (!attached(page, context()) || graphemeCount(password) < minimumLockPasswordLength)
        return false;
    QByteArray saltBytes(kLockSaltBytes, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(saltBytes.data()), kLockSaltBytes / 4);
    const QString salt = QString::fromLatin1(saltBytes.toHex());
    page->setLockSalt(salt);
    page->setLockHash(lockDigest(salt, password));
    return saveOrRollback("Failed to lock page: %s");
}

bool ClipStore::verifyPageLock(const PageRef &page, const QString &password) const
{
    if (!page || !page->isLocked())
        return false;
    return equalInConstantTime(lockDigest(page->lockSalt(), password), page->lockHash());
}

bool ClipStore::renamePage(const PageRef &page, const QString &name)
{
    if (!attached(page, context()))
        return false;
    page->setName(name);
    return saveOrRollback("Failed to rename page: %s");
}

bool ClipStore::setPageColor(const PageRef &page, const QString &colorName)
{
    if (!attached(page, context()) || colorName.isEmpty())
        return false;
    page->setColorName(colorName);
    return saveOrRollback("Failed to update page: %s");
}

bool ClipStore::setPageIcon(const PageRef &page, const QString &iconName)
{
    if (!attached(page, context()) || iconName.isEmpty())
        return false;
    page->setIconName(iconName);
    return saveOrRollback("Failed to update page: %s");
}

bool ClipStore::deletePage(const PageRef &page)
{
    ModelContext &ctx = context();
    if (!attached(page, ctx))
        return false;
    for (const ClipRef &clip : ctx.itemsOf(page.get())) {
        clip->setPinboard(nullptr);
        clip->setIsSavedToPage(false);
    }
    ctx.remove(page);
    return saveOrRollback("Failed to delete page: %s");
}

bool ClipStore::reorderPages(const std::vector<PageRef> &order)
{
    ModelContext &ctx = context();
    std::vector<PageRef> sequence;
    for (const PageRef &page : order)
        if (attached(page, ctx) && std::find(sequence.begin(), sequence.end(), page) == sequence.end())
            sequence.push_back(page);
    for (const PageRef &page : ctx.pinboards())
        if (std::find(sequence.begin(), sequence.end(), page) == sequence.end())
            sequence.push_back(page);
    for (size_t i = 0; i < sequence.size(); ++i)
        sequence[i]->setSortOrder(qint64(i));
    return saveOrRollback("Failed to reorder pages: %s");
}

bool ClipStore::movePage(const PageRef &page, int offset)
{
    std::vector<PageRef> order = pages();
    const auto it = std::find(order.begin(), order.end(), page);
    if (it == order.end())
        return false;
    const qsizetype from = it - order.begin();
    const qsizetype to = std::clamp<qsizetype>(from + offset, 0, qsizetype(order.size()) - 1);
    if (from == to)
        return true;
    PageRef moving = order[from];
    order.erase(order.begin() + from);
    order.insert(order.begin() + to, moving);
    return reorderPages(order);
}

ClipRef ClipStore::insertManualClip(const CapturedContent &content, const PageRef &page, std::optional<QString> title)
{
    ModelContext &ctx = context();
    if (!content.text || content.text->trimmed().isEmpty())
        return nullptr;
    if (captureRulesRefuse(content))
        return nullptr;
    if (page && !attached(page, ctx))
        return nullptr;

    CapturedContent stored = content;
    if (stored.kind != ClipKind::file)
        stored.text = CapturedContent::capText(stored.text);
    if (!stored.sourceAppName)
        stored.sourceAppName = QStringLiteral("Brindlewax");

    ClipRef clip = makeClip(stored);
    // Unique by construction, so a note never merges with a capture of the same text.
    clip->setContentHash(QStringLiteral("manual:%1:%2").arg(uuidText(clip->dedupID()), stored.contentHash()));
    clip->setIsPinned(true);
    clip->setExpiresAt(std::nullopt);
    clip->setCustomTitle(trimmedNonEmpty(title));
    clip->setPinboard(page);
    clip->setIsSavedToPage(page != nullptr);
    ctx.insert(clip);
    if (!saveOrRollback("Failed to insert manual clip: %s"))
        return nullptr;
    return clip;
}

PageArchive ClipStore::makePageArchive(const PageRef &page) const
{
    PageArchive archive;
    if (!page)
        return archive;
    archive.version = PageArchive::currentVersion;
    archive.name = page->displayName();
    archive.colorName = page->colorName();
    archive.iconName = page->iconName();
    archive.exportedAt = archive::roundedToSecond(now());

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
        archive.clips.push_back(ArchivedClip::from(*clip));
    }
    return archive;
}

PageRef ClipStore::importPage(const PageArchive &archive)
{
    ModelContext &ctx = context();
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
    page->setCreatedAt(now());
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
            clip = makeClip(content);
            ctx.insert(clip);
        }
        if (archived.customTitle && !archived.customTitle->isEmpty())
            clip->setCustomTitle(archived.customTitle);
        clip->setPinboard(page);
        clip->setIsSavedToPage(true);
        clip->setIsPinned(true);
        clip->setExpiresAt(std::nullopt);
    }
    if (!saveOrRollback("Failed to import page: %s"))
        return nullptr;
    return page;
}

std::optional<ClipStore::ArchiveImportResult> ClipStore::importArchive(const ClipArchiveDocument &document)
{
    ModelContext &ctx = context();

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
    for (ClipArchiveClip &clip : checked.clips) {
        const QUuid id = QUuid::fromString(clip.dedupID);
        const auto stored = storedHashByID.constFind(id);
        if (!id.isNull() && stored != storedHashByID.cend() && !clip.contentHash.isEmpty() && *stored == clip.contentHash)
            continue;
        clip.contentHash = clip.recomputedHash();
    }
    const ClipArchiveDocument::ImportSplit split = checked.clipsToImport(storedHashes);

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
        page->setCreatedAt(now());
        ctx.insert(page);
        pagesByName.insert(name, page);
        return PageRef(page);
    };
    for (const ClipArchivePinboard &shape : archivedPages)
        pageNamed(shape.name, &shape);

    for (const ClipArchiveClip &archived : split.clips) {
        ClipRef clip = makeClip(archived.restoredContent());
        clip->setContentHash(archived.contentHash);
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
    if (!saveOrRollback("Failed to import archive: %s"))
        return std::nullopt;
    return ArchiveImportResult{int(split.clips.size()), split.skipped};
}

int ClipStore::dedupeSweep(bool force, const QDateTime &now)
{
    if (!force && m_lastDedupeSweepAt && m_lastDedupeSweepAt->secsTo(now) < dedupeSweepIntervalSeconds
        && m_lastDedupeSweepAt->secsTo(now) >= 0)
        return 0;
    m_lastDedupeSweepAt = now;

    ModelContext &ctx = context();
    int deleted = 0;
    for (const QString &hash : ctx.sharedContentHashes()) {
        // An empty hash says nothing about the content: never treat such clips as copies.
        if (hash.isEmpty())
            continue;
        const std::vector<ClipRef> copies = ctx.clipsWithHash(hash); // newest first
        if (copies.size() < 2)
            continue;
        const ClipRef &keep = copies.front();
        for (size_t i = 1; i < copies.size(); ++i) {
            const ClipRef &other = copies[i];
            if (other->pinboard() && keep->pinboard() && other->pinboard() != keep->pinboard())
                continue; // a copy filed on another Page stays there
            if (other->isPinned())
                keep->setIsPinned(true);
            if (!keep->pinboard() && other->pinboard()) {
                keep->setPinboard(other->pinboard());
                keep->setIsSavedToPage(true);
            } else if (other->isSavedToPage() && keep->pinboard() == other->pinboard()) {
                keep->setIsSavedToPage(true);
            }
            if (!trimmedNonEmpty(keep->customTitle()) && trimmedNonEmpty(other->customTitle()))
                keep->setCustomTitle(other->customTitle());
            if (!trimmedNonEmpty(keep->linkTitle()) && trimmedNonEmpty(other->linkTitle()))
                keep->setLinkTitle(other->linkTitle());
            if (!trimmedNonEmpty(keep->recognizedText()) && trimmedNonEmpty(other->recognizedText()))
                keep->setRecognizedText(other->recognizedText());
            ctx.remove(other);
            ++deleted;
        }
        if (keep->isPinned() || keep->pinboard() || keep->isSavedToPage())
            keep->setExpiresAt(std::nullopt);
    }
    if (deleted == 0)
        return 0;
    if (!saveOrRollback("Dedupe sweep failed: %s"))
        return 0;
    if (SyncAuditRecording *audit = auditRecorder())
        audit->recordPruned(SyncPruneReason::dedupe, deleted);
    return deleted;
}

} // namespace quillmere
