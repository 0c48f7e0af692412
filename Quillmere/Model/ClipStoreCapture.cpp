// The capture road, clip edits and pruning to the history limit.

#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Platform/Core/PreferenceKeys.h"

#include "Quillmere/Model/AutoPageRules.h"
#include "Quillmere/Model/ClipCaptureRules.h"
#include "Quillmere/Model/ClipPresentation.h"
#include "Quillmere/Platform/Core/Json.h"
#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Platform/Core/Preferences.h"

#include <algorithm>
#include <limits>

namespace quillmere {

namespace {
const char *const kInsertFailed = "Failed to insert clip: %s";
const char *const kSaveFailed = "Failed to save context: %s";

bool isLive(const ClipRef &clip)
{
    return clip && !clip->isDeleted() && clip->modelContext();
}

std::optional<QString> cappedText(const std::optional<QString> &text)
{
    return CapturedContent::capText(text);
}
} // namespace

bool ClipStore::isKept(const ClipItem &clip)
{
    return clip.isPinned() || clip.pinboard() || clip.isSavedToPage();
}

bool ClipStore::captureRulesRefuse(const CapturedContent &content) const
{
    const auto rules = ClipRulePreferences::currentRules(preferences());
    return ClipCaptureRule::anyEnabledRuleMatches(rules, ClipCaptureRuleContext(content));
}

ClipRef ClipStore::makeClip(const CapturedContent &content, const QString &knownHash) const
{
    auto clip = std::make_shared<ClipItem>();
    clip->setCreatedAt(now());
    clip->setKind(content.kind);
    clip->setText(content.text);
    clip->setImageData(content.imageData);
    clip->setFileData(content.fileData);
    clip->setFileName(content.fileName);
    clip->setFileTypeIdentifier(content.fileTypeIdentifier);
    clip->setRecognizedText(content.recognizedText);
    clip->setSourceAppName(content.sourceAppName);
    clip->setSourceAppBundleID(content.sourceAppBundleID);
    clip->setContentHash(knownHash.isEmpty() ? content.contentHash() : knownHash);
    clip->setPayloadByteCount(payloadByteCount(content));
    return clip;
}

bool ClipStore::applyAutoPageRules(const ClipRef &clip)
{
    if (!clip || clip->pinboard() || clip->isSavedToPage())
        return false;
    const std::shared_ptr<const AutoPageMatcher> rules = sharedAutoPageMatcher(preferences());
    const AutoPageMatcher &matcher = *rules;
    if (matcher.isEmpty())
        return false;
    const ModelContext &ctx = context();
    const AutoPageRule *rule =
        matcher.firstMatch(*clip, [&ctx](const QUuid &id) { return ctx.pinboardWithDedupID(id) != nullptr; });
    if (!rule)
        return false;
    clip->setPinboard(ctx.pinboardWithDedupID(rule->pinboardDedupID));
    clip->setIsSavedToPage(true);
    clip->setExpiresAt(std::nullopt);
    return true;
}

ClipRef ClipStore::insertClip(const CapturedContent &content)
{
    return insertCaptured(content, std::nullopt);
}

ClipRef ClipStore::insertTemporaryClip(const CapturedContent &content, qint64 lifetimeSeconds)
{
    return insertCaptured(content, std::max<qint64>(0, lifetimeSeconds));
}

ClipRef ClipStore::insertCaptured(const CapturedContent &input, std::optional<qint64> lifetimeSeconds)
{
    if (captureRulesRefuse(input))
        return nullptr;
    // Callers cap their texts; a caller that forgot must not grow the store without bound. A
    // file clip's text is its list of paths and stays whole.
    CapturedContent content = input;
    if (content.kind != ClipKind::file)
        content.text = cappedText(content.text);
    const QDateTime t = now();

    if (ClipRef existing = context().newestClipWithHash(content.contentHash())) {
        const bool wasTemporary = existing->expiresAt().has_value();
        markCaptured(*existing, t);
        existing->setExpiresAt(std::nullopt);
        existing->setSourceAppName(content.sourceAppName);
        existing->setSourceAppBundleID(content.sourceAppBundleID);
        // A temporary copy of something already kept does not put the kept clip on a timer.
        if (lifetimeSeconds && wasTemporary && !isKept(*existing))
            existing->setExpiresAt(t.addSecs(*lifetimeSeconds));
        if (!saveOrRollback(kInsertFailed))
            return nullptr;
        return existing;
    }

    ClipRef clip = makeClip(content);
    markCaptured(*clip, t);
    context().insert(clip);
    applyAutoPageRules(clip);
    if (lifetimeSeconds && !isKept(*clip))
        clip->setExpiresAt(t.addSecs(*lifetimeSeconds));
    // The clips the new one pushes over the limit go in the same transaction: a failed save
    // then leaves the history exactly as it was.
    const int pruned = removeOverHistoryLimit(clip.get());
    if (!saveOrRollback(kInsertFailed))
        return nullptr;
    if (auditRecorder()) {
        auditRecorder()->recordAdded(1);
        if (pruned > 0)
            auditRecorder()->recordPruned(ClipPruneReason::overLimit, pruned);
    }
    return clip;
}

void ClipStore::applySensitiveExpiry(const ClipRef &clip, const QDateTime &at)
{
    if (!isLive(clip) || !preferences().get(PreferenceKeys::autoExpireSensitiveClips))
        return;
    if (clip->expiresAt() || isKept(*clip))
        return;
    if (!sensitiveMatch(*clip))
        return;
    clip->setExpiresAt(at.addSecs(sensitiveExpirySeconds));
    saveOrRollback("Failed to set clip expiry: %s");
}

int ClipStore::deleteExpiredTemporaryClips(const QDateTime &at)
{
    const std::vector<ClipRef> expired = context().clipsExpiringBy(at);
    int deleted = 0;
    for (const ClipRef &clip : expired) {
        if (isKept(*clip)) {
            clip->setExpiresAt(std::nullopt);
        } else {
            context().remove(clip);
            ++deleted;
        }
    }
    if (!saveOrRollback("Failed to delete expired clips: %s"))
        return 0;
    if (deleted > 0 && auditRecorder())
        auditRecorder()->recordPruned(ClipPruneReason::expired, deleted);
    return deleted;
}

void ClipStore::updateRecognizedText(const QString &contentHash, const std::optional<QString> &text)
{
    ClipRef clip = context().newestClipWithHash(contentHash);
    if (!clip)
        return;
    clip->setRecognizedText(text ? cappedText(text->trimmed()) : std::nullopt);
    clip->setPayloadByteCount(payloadByteCount(*clip));
    applyAutoPageRules(clip);
    saveOrRollback("Failed to update recognized text: %s");
}

void ClipStore::updateFilePreview(const QString &contentHash, const std::optional<QByteArray> &previewPNG,
                                  const std::optional<QString> &recognizedText)
{
    ClipRef clip = context().newestClipWithHash(contentHash);
    if (!clip)
        return;
    if (previewPNG && previewPNG->size() > maxLinkPictureBytes)
        qCWarning(lcStore, "Dropped a file preview of %lld bytes", static_cast<long long>(previewPNG->size()));
    else
        clip->setImageData(previewPNG);
    clip->setRecognizedText(cappedText(recognizedText));
    clip->setPayloadByteCount(payloadByteCount(*clip));
    applyAutoPageRules(clip);
    saveOrRollback("Failed to update file preview: %s");
}

void ClipStore::updateLinkMetadata(const ClipRef &clip, const std::optional<QString> &title,
                                   const std::optional<QByteArray> &picture)
{
    if (!isLive(clip) || clip->kindRawValue() != rawValue(ClipKind::url))
        return;
    if (title && !title->trimmed().isEmpty())
        clip->setLinkTitle(*title);
    if (picture && !picture->isEmpty() && picture->size() <= maxLinkPictureBytes && !clip->hasImageData()) {
        clip->setImageData(picture);
        clip->setPayloadByteCount(payloadByteCount(*clip));
    }
    saveOrRollback(kSaveFailed);
}

void ClipStore::bumpToTop(const ClipRef &clip, const QDateTime &date)
{
    if (!isLive(clip))
        return;
    markCaptured(*clip, date);
    saveOrRollback(kSaveFailed);
}

void ClipStore::markCaptured(ClipItem &clip, const QDateTime &at) const
{
    // Dated by the wall clock: a date taken from another clip (one made while the clock ran ahead,
    // or synced from a device whose clock does) would date every later copy with it. Only copies
    // the clock cannot tell apart (the same millisecond, or a clock put back by under a second)
    // take the newest one's date, or just after it for a clip stored already (a new row comes
    // after every other), so they show in the order made; that stays within a second of the
    // clock. The limit goes by the capture order, which a clock stepped back does not undo.
    QDateTime date = at;
    if (const ClipRef newest = context().newestClip(); newest && newest.get() != &clip) {
        const qint64 ahead = at.msecsTo(newest->createdAt());
        if (ahead >= 0 && ahead < ClipItem::captureDateLeadMs)
            date = newest->createdAt().addMSecs(clip.modelContext() ? 1 : 0);
    }
    clip.setCreatedAt(date);
    // A stored order at the very end of the range (a tool wrote it) is shared rather than wrapped.
    const qint64 last = context().lastCaptureOrder();
    clip.setCaptureOrder(std::max(at.toMSecsSinceEpoch(), last + (last < std::numeric_limits<qint64>::max())));
}

void ClipStore::togglePin(const ClipRef &clip)
{
    if (!isLive(clip))
        return;
    clip->setIsPinned(!clip->isPinned());
    if (clip->isPinned())
        clip->setExpiresAt(std::nullopt);
    saveOrRollback(kSaveFailed);
}

void ClipStore::renameClip(const ClipRef &clip, const QString &text)
{
    if (!isLive(clip))
        return;
    const QString title = text.trimmed();
    clip->setCustomTitle(title.isEmpty() ? std::nullopt : std::optional<QString>(title));
    clip->setIsPinned(true);
    clip->setExpiresAt(std::nullopt);
    saveOrRollback(kSaveFailed);
}

void ClipStore::editClipText(const ClipRef &clip, const QString &text)
{
    if (!isLive(clip) || (clip->kind() != ClipKind::text && clip->kind() != ClipKind::url))
        return;
    const QString edited = CapturedContent::capText(text, CapturedContent::maxTextBytes);
    if (clip->text() != edited && (clip->hasFileData() || clip->fileTypeIdentifier())) {
        // The rich copy still holds the old words, and a paste prefers it to the plain text.
        clip->setFileData(std::nullopt);
        clip->setFileTypeIdentifier(std::nullopt);
    }
    clip->setText(edited);
    // The custom title stays as the user set it; an edit gives none of its own.
    clip->setIsPinned(true);
    clip->setExpiresAt(std::nullopt);
    QString hash = clip->computeContentHash();
    // A typed note stays apart from captures of the same words, before and after an edit.
    if (clip->contentHash().startsWith(QLatin1String("manual:")))
        hash = QStringLiteral("manual:%1:%2").arg(uuidText(clip->dedupID()), hash);
    clip->setContentHash(hash);
    clip->setPayloadByteCount(payloadByteCount(*clip));
    saveOrRollback(kSaveFailed);
}

void ClipStore::deleteClip(const ClipRef &clip)
{
    if (!isLive(clip))
        return;
    context().remove(clip);
    saveOrRollback("Failed to delete clip: %s");
}

void ClipStore::clearHistory()
{
    for (const ClipRef &clip : context().fetchClips(unkeptClips()))
        context().remove(clip);
    saveOrRollback("Failed to clear history: %s");
}

ClipQuery ClipStore::unkeptClips(const ClipItem *besides)
{
    return {QStringLiteral("isPinned = 0 AND pinboardID IS NULL AND isSavedToPage = 0"),
            {},
            [besides](const ClipItem &clip) { return &clip != besides && !isKept(clip); }};
}

int ClipStore::removeOverHistoryLimit(const ClipItem *added)
{
    const SettingsRef settings = preferredSettings();
    const qint64 limit = settings ? settings->historyLimitValue() : 0;
    if (limit <= 0)
        return 0;
    // The new clip is set apart: the copy must never vanish the moment it was stored.
    const bool spare = added && !isKept(*added);
    const qint64 room = spare ? limit - 1 : limit;
    // All clips less the kept few: both counts come from an index, and the unkept have none.
    auto besides = [added](const ClipItem &clip) { return &clip != added; };
    const qint64 unkept = qint64(context().countClips({{}, {}, besides}))
        - qint64(context().countClips({QStringLiteral("isPinned != 0 OR pinboardID IS NOT NULL OR isSavedToPage != 0"),
                                       {},
                                       [besides](const ClipItem &clip) { return besides(clip) && isKept(clip); }}));
    ClipQuery candidates = unkeptClips(added);
    const qint64 excess = unkept - room;
    if (excess <= 0)
        return 0;
    candidates.order = ClipQuery::Order::firstCapturedFirst;
    candidates.limit = excess;
    const std::vector<ClipRef> doomed = context().fetchClips(candidates);
    for (const ClipRef &clip : doomed)
        context().remove(clip);
    return int(doomed.size());
}

int ClipStore::pruneOverHistoryLimit()
{
    const int removed = removeOverHistoryLimit();
    if (removed == 0)
        return 0;
    if (!saveOrRollback("Failed to prune history: %s"))
        return 0;
    if (auditRecorder())
        auditRecorder()->recordPruned(ClipPruneReason::overLimit, removed);
    return removed;
}

std::vector<ClipRef> ClipStore::historyNewestFirst() const
{
    return context().clipsNewestFirst();
}

} // namespace quillmere
