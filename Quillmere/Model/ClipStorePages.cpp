// Pages, page locks, manual clips and the duplicate sweep.

#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Model/TextMeasures.h"

#include "Quillmere/Model/SHA256Digest.h"
#include "Quillmere/Platform/Core/Json.h"
#include "Quillmere/Platform/Core/Logging.h"

#include <QHash>
#include <QRandomGenerator>
#include <QSet>
#include <QTextBoundaryFinder>
#include <algorithm>

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
    markCaptured(*clip, clip->createdAt());
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
            // The merged copy leaves the history as late as its latest capture.
            keep->setCaptureOrder(std::max(keep->captureOrder(), other->captureOrder()));
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
    if (ClipAuditRecording *audit = auditRecorder())
        audit->recordPruned(ClipPruneReason::dedupe, deleted);
    return deleted;
}

} // namespace quillmere
