// Turning another device's records into the store's own: Pages, clips and settings.
#include "Quillmere/Sync/SyncEngine.h"

#include "Quillmere/Model/CapturedContent.h"
#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Platform/Core/Json.h"
#include "Quillmere/Sync/SyncLogging.h"
#include "Quillmere/Sync/SyncNames.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace quillmere {
namespace {

// None when out of range; a date further ahead than a day is taken as `now`.
std::optional<QDateTime> dateOf(const QJsonValue &v, const QDateTime &now)
{
    const auto ms = SyncFolder::integerIn(v, 0, SyncFolder::maxDateMs);
    if (!ms)
        return std::nullopt;
    if (*ms > now.toMSecsSinceEpoch() + SyncEngine::maxFutureMs)
        return now;
    return QDateTime::fromMSecsSinceEpoch(*ms, Qt::UTC);
}

// Texts are capped as local copies are.
std::optional<QString> optionalText(const QJsonObject &f, QLatin1StringView key)
{
    const QJsonValue v = f.value(key);
    if (!v.isString())
        return std::nullopt;
    // Usually cut already by the reader; only a text that may be over is measured.
    const QString text = v.toString();
    return text.size() > CapturedContent::maxTextBytes / 3
        ? CapturedContent::capText(text, CapturedContent::maxTextBytes)
        : text;
}

} // namespace

bool SyncEngine::isStored(const SyncRecord &r) const
{
    const auto v = m_versions.constFind(r.id);
    return v != m_versions.constEnd() && v->modifiedAt == r.modifiedAt && v->device == r.device
        && v->deleted == r.deleted;
}

bool SyncEngine::pageResolves(const SyncRecord &r)
{
    if (r.type != SyncNames::clipItem || r.deleted)
        return true;
    const auto page = optionalText(r.fields, SyncNames::page);
    if (!page || m_store.context().pinboardWithDedupID(QUuid::fromString(*page)))
        return true;
    // A Page deleted here or by another device leaves the clip unfiled.
    const QString pageID = uuidText(QUuid::fromString(*page));
    const auto v = m_versions.constFind(pageID);
    if (v != m_versions.constEnd() && v->deleted)
        return true;
    return localDeletions().contains(pageID);
}

std::optional<std::shared_ptr<PersistentModel>> SyncEngine::applyRecord(const SyncRecord &r)
{
    ModelContext &context = m_store.context();
    const QUuid id = QUuid::fromString(r.id);
    const QJsonObject &f = r.fields;
    if (r.type == SyncNames::clipItem) {
        ClipRef clip = context.clipWithDedupID(id);
        if (r.deleted) {
            if (clip)
                context.remove(clip);
            return std::shared_ptr<PersistentModel>();
        }
        const auto createdAt = dateOf(f.value(SyncNames::createdAt), m_store.now());
        const auto payload =
            SyncFolder::integerIn(f.value(SyncNames::payloadByteCount).toDouble(0), 0, SyncFolder::maxInteger);
        if (!createdAt || !payload || !clipKindFromRaw(f.value(SyncNames::kind).toString())
            || !f.value(SyncNames::contentHash).isString()) {
            qCWarning(lcSync, "Skipped a clip of device %s that could not be read", qPrintable(r.device));
            return std::nullopt;
        }
        const bool isNew = !clip;
        if (isNew) {
            clip = std::make_shared<ClipItem>();
            clip->setDedupID(id);
        }
        // Its own date, which dates no other clip. A copy made again there is one here too: the
        // limit takes it no sooner than that date says.
        clip->setCreatedAt(*createdAt);
        clip->setCaptureOrder(std::max(clip->captureOrder(), createdAt->toMSecsSinceEpoch()));
        clip->setKindRawValue(f.value(SyncNames::kind).toString());
        clip->setText(optionalText(f, SyncNames::text));
        clip->setFileName(optionalText(f, SyncNames::fileName));
        clip->setFileTypeIdentifier(optionalText(f, SyncNames::fileTypeIdentifier));
        clip->setCustomTitle(optionalText(f, SyncNames::customTitle));
        clip->setRecognizedText(optionalText(f, SyncNames::recognizedText));
        clip->setSourceAppName(optionalText(f, SyncNames::sourceAppName));
        clip->setSourceAppBundleID(optionalText(f, SyncNames::sourceAppBundleID));
        clip->setLinkTitle(optionalText(f, SyncNames::linkTitle));
        clip->setIsPinned(f.value(SyncNames::isPinned).toBool());
        clip->setIsSavedToPage(f.value(SyncNames::isSavedToPage).toBool());
        clip->setContentHash(f.value(SyncNames::contentHash).toString());
        clip->setPayloadByteCount(*payload);
        clip->setExpiresAt(std::nullopt);
        const auto page = optionalText(f, SyncNames::page);
        clip->setPinboard(page ? context.pinboardWithDedupID(QUuid::fromString(*page)) : nullptr);
        for (const bool image : {true, false}) {
            const QString hash = f.value(image ? SyncNames::image : SyncNames::file).toString();
            const bool has = image ? clip->hasImageData() : clip->hasFileData();
            std::optional<QByteArray> bytes;
            if (!hash.isEmpty())
                bytes = r.blobs.value(hash);
            else if (!has)
                continue;
            if (image)
                clip->setImageData(bytes);
            else
                clip->setFileData(bytes);
        }
        if (isNew)
            context.insert(clip);
        return clip;
    }
    if (r.type == SyncNames::pinboard) {
        PageRef page = context.pinboardWithDedupID(id);
        if (r.deleted) {
            if (page)
                context.remove(page);
            return std::shared_ptr<PersistentModel>();
        }
        const QString name = f.value(SyncNames::name).toString();
        const auto sortOrder = SyncFolder::integerIn(f.value(SyncNames::sortOrder).toDouble(0), -SyncFolder::maxInteger,
                                                     SyncFolder::maxInteger);
        const auto createdAt = dateOf(f.value(SyncNames::createdAt), m_store.now());
        // A Page may be named "" here; a record without a name is malformed, not unnamed.
        if (!f.value(SyncNames::name).isString() || !sortOrder || !createdAt) {
            qCWarning(lcSync, "Skipped a Page of device %s that could not be read", qPrintable(r.device));
            return std::nullopt;
        }
        const bool isNew = !page;
        if (isNew) {
            page = std::make_shared<Pinboard>();
            page->setDedupID(id);
        }
        page->setName(CapturedContent::capText(name, 4096));
        page->setColorName(f.value(SyncNames::colorName).toString(QStringLiteral("magenta")));
        page->setIconName(f.value(SyncNames::iconName).toString(QStringLiteral("square.grid.2x2")));
        page->setSortOrder(*sortOrder);
        page->setCreatedAt(*createdAt);
        page->setLockSalt(f.value(SyncNames::lockSalt).toString());
        page->setLockHash(f.value(SyncNames::lockHash).toString());
        if (isNew)
            context.insert(page);
        return page;
    }
    SettingsRef settings;
    for (const SettingsRef &s : context.appSettings())
        if (s->recordID() == id)
            settings = s;
    if (r.deleted) {
        if (settings)
            context.remove(settings);
        return std::shared_ptr<PersistentModel>();
    }
    // Only a limit this program offers (-1 is its Unlimited): another could empty the history.
    const auto limit = SyncFolder::integerIn(f.value(SyncNames::historyLimitValue), -1, SyncFolder::maxInteger);
    const auto updatedAt = dateOf(f.value(SyncNames::updatedAt), m_store.now());
    if (!limit || (*limit > 0 && !AppSettings::offeredHistoryLimits.contains(*limit)) || !updatedAt) {
        qCWarning(lcSync, "Refused settings of device %s with a history limit it cannot offer", qPrintable(r.device));
        return std::nullopt;
    }
    const bool isNew = !settings;
    if (isNew) {
        settings = std::make_shared<AppSettings>();
        settings->setRecordID(id);
    }
    settings->setHistoryLimitValue(*limit);
    settings->setUpdatedAt(*updatedAt);
    if (isNew)
        context.insert(settings);
    return settings;
}

} // namespace quillmere
