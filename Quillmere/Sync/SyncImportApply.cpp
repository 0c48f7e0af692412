// Applying what was read from other devices: in slices on the main thread, each saved with the
// versions it took, so the window keeps answering and a quit is never held up.
#include "Quillmere/Sync/SyncEngine.h"

#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Model/StoreReader.h"
#include "Quillmere/Sync/SyncLogging.h"
#include "Quillmere/Sync/SyncNames.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <limits>

namespace quillmere {
namespace {

const QString kImportProgress = QStringLiteral("import.progress");

qint64 msOf(const PersistentModel &record)
{
    // A record not saved yet is the newest there is.
    return record.modifiedAt().isValid() ? record.modifiedAt().toMSecsSinceEpoch() : std::numeric_limits<qint64>::max();
}

} // namespace

void SyncEngine::finishImport(ImportResult result)
{
    if (!m_running) {
        m_importing = false;
        return;
    }
    watchDevices(result.devices);
    if (!result.ok) {
        emitEvent(SyncEvent::Type::import, std::nullopt);
        emitEvent(SyncEvent::Type::import, false, result.error);
    } else if (result.batches.empty() && m_importFailed) {
        // A look that works again is told, even with nothing new: the failure is over.
        emitEvent(SyncEvent::Type::import, std::nullopt);
        emitEvent(SyncEvent::Type::import, true);
    }
    m_importFailed = !result.ok;
    if (!result.ok || result.batches.empty()) {
        if (result.more)
            m_importAgain = true;
        endImport();
        return;
    }
    emitEvent(SyncEvent::Type::import, std::nullopt);
    m_apply = std::make_unique<ApplyRun>();
    ApplyRun &run = *m_apply;
    run.result = std::move(result);
    // A version dated far ahead would win over every later edit: it counts from now instead.
    const qint64 now = m_store.now().toMSecsSinceEpoch();
    for (size_t b = 0; b < run.result.batches.size(); ++b) {
        ImportBatch &batch = run.result.batches[b];
        const DeviceProgress known = m_importProgress.value(batch.device);
        for (size_t i = 0; i < batch.records.size(); ++i) {
            SyncRecord &r = batch.records[i];
            if (r.modifiedAt > now + maxFutureMs)
                r.modifiedAt = now;
            run.records.push_back({&r, b, batch.sources[i], known.pending.contains(batch.sources[i])});
        }
    }
    // Settings, then Pages, then the clips that name them, each in the order written.
    std::stable_sort(run.records.begin(), run.records.end(), [](const ImportedRecord &x, const ImportedRecord &y) {
        return syncTypeRank(x.record->type) < syncTypeRank(y.record->type);
    });
    applySlice();
}

void SyncEngine::applySlice()
{
    if (!m_apply)
        return;
    ApplyRun &run = *m_apply;
    QElapsedTimer slice;
    slice.start();
    // Deletions made here between slices count too.
    m_localDeletions.reset();
    Applied chunk;
    // Bytes bound a slice too: saving many large pictures at once holds the main thread long.
    qint64 bytes = 0;
    while (run.next < run.records.size() && !slice.hasExpired(sliceMs) && bytes < sliceBytes) {
        const ImportedRecord &imported = run.records[run.next++];
        applyOne(run, imported, chunk);
        for (const QByteArray &blob : imported.record->blobs)
            bytes += blob.size();
    }
    const bool last = run.next >= run.records.size();
    const bool kept = (chunk.empty() && !last) || commit(chunk, last ? &run.result.batches : nullptr);
    m_localDeletions.reset();
    if (kept && !last) {
        QTimer::singleShot(0, this, &SyncEngine::applySlice);
        return;
    }
    const int count = run.count;
    const bool more = run.result.more;
    m_apply.reset();
    emitEvent(SyncEvent::Type::import, kept, kept ? QString() : QStringLiteral("The history could not be saved"));
    m_importFailed = !kept;
    if (kept && count > 0)
        Q_EMIT imported(count);
    if (more)
        m_importAgain = true;
    endImport();
}

void SyncEngine::endImport()
{
    m_importing = false;
    checkAvailability();
    if (m_importAgain && m_running)
        m_importTimer.start(m_options.importDelayMs);
    if (m_exportAgain && m_running && !m_exporting)
        m_exportTimer.start(m_options.exportDelayMs);
    maybeIdle();
}

bool SyncEngine::applyOne(ApplyRun &run, const ImportedRecord &imported, Applied &chunk)
{
    const SyncRecord &r = *imported.record;
    if (syncTypeRank(r.type) < 0)
        return false;
    const auto earlier = run.taken.constFind(r.id);
    const bool inThisPass = earlier != run.taken.constEnd();
    const auto current = inThisPass ? std::optional(*earlier) : currentVersion(r);
    // A writer's own later file wins over its earlier one, also within one clock tick; a
    // version already stored is not taken again when its file is read once more.
    const bool same = current && r.modifiedAt == current->first && r.device == current->second;
    if (current && !r.isNewerThan(current->first, current->second) && !same)
        return false;
    if (same && !inThisPass && imported.reread && isStored(r))
        return false;
    // A clip whose Page has not arrived is read again with the file that holds it.
    if (!pageResolves(r)) {
        DeviceProgress &progress = run.result.batches[imported.batch].progress;
        progress.pending.insert(imported.source);
        // A file still read in parts is read whole once its rest is done.
        for (const bool snapshot : {false, true})
            if (const qint64 key = DeviceProgress::partKey(imported.source, snapshot); progress.resumeAt.contains(key))
                progress.readAgain.insert(key);
        return false;
    }
    auto record = applyRecord(r);
    if (!record)
        return false;
    run.taken.insert(r.id, {r.modifiedAt, r.device});
    const bool written = *record && m_store.context().hasChanges(**record);
    chunk.push_back({r, std::move(*record), written});
    ++run.count;
    return true;
}

std::optional<std::pair<qint64, QString>> SyncEngine::currentVersion(const SyncRecord &r)
{
    ModelContext &context = m_store.context();
    const QUuid id = QUuid::fromString(r.id);
    const PersistentModel *live = nullptr;
    ClipRef clip;
    if (r.type == SyncNames::clipItem)
        live = (clip = context.clipWithDedupID(id)).get();
    else if (r.type == SyncNames::pinboard)
        live = context.pinboardWithDedupID(id).get();
    else
        for (const SettingsRef &s : context.appSettings())
            if (s->recordID() == id)
                live = s.get();
    const auto v = m_versions.constFind(r.id);
    const bool known = v != m_versions.constEnd();
    if (live) {
        const qint64 local = msOf(*live);
        if (known && !v->deleted && v->localModifiedAt == local)
            return std::pair{v->modifiedAt, v->device};
        return std::pair{local, m_options.device};
    }
    const QHash<QString, qint64> &deletions = localDeletions();
    const auto deletedAt = deletions.constFind(r.id);
    if (deletedAt != deletions.constEnd() && !(known && v->deleted && v->localModifiedAt == *deletedAt))
        return std::pair{*deletedAt, m_options.device};
    if (known)
        return std::pair{v->modifiedAt, v->device};
    return std::nullopt;
}

const QHash<QString, qint64> &SyncEngine::localDeletions()
{
    if (!m_localDeletions) {
        m_localDeletions.emplace(SyncBookkeeping(m_store.context()).latestDeletions());
    }
    return *m_localDeletions;
}

bool SyncEngine::commit(const Applied &chunk, const std::vector<ImportBatch> *batches)
{
    SyncBookkeeping bookkeeping(m_store.context());
    QHash<QString, Version> versions;
    QHash<QString, DeviceProgress> progress = m_importProgress;
    // The versions taken and how far each device was read go into the save of the records they
    // describe: a crash between the two would turn imported rows into changes of this device.
    auto keep = [&](qint64 saveTime) {
        QString error;
        for (const AppliedRecord &a : chunk) {
            const SyncRecord &r = a.record;
            Version v{r.modifiedAt, r.device, 0, r.deleted};
            if (r.deleted) {
                v.localModifiedAt = bookkeeping.latestDeletion(r.id).value_or(0);
            } else if (a.model && !a.model->isDeleted()) {
                v.localModifiedAt = a.written ? saveTime : msOf(*a.model);
            }
            versions.insert(r.id, v);
            if (!bookkeeping.putVersion({r.id, r.type, v.modifiedAt, v.device, v.localModifiedAt, v.deleted}, &error)) {
                qCWarning(lcSync, "Could not keep sync versions: %s", qPrintable(error));
                return false;
            }
        }
        if (!batches)
            return true;
        for (const ImportBatch &batch : *batches)
            progress.insert(batch.device, batch.progress);
        QJsonObject devices;
        for (auto it = progress.constBegin(); it != progress.constEnd(); ++it) {
            QJsonArray pending;
            for (qint64 n : it->pending)
                pending.append(double(n));
            devices.insert(it.key(), QJsonObject{{SyncNames::last, double(it->last)}, {SyncNames::pending, pending}});
        }
        return bookkeeping.setMeta(kImportProgress,
                                   QString::fromUtf8(QJsonDocument(devices).toJson(QJsonDocument::Compact)));
    };
    const bool ok =
        m_store.context().hasChanges() ? m_store.save(keep) : bookkeeping.inTransaction([&] { return keep(0); });
    if (!ok)
        return false;
    for (auto it = versions.constBegin(); it != versions.constEnd(); ++it)
        m_versions.insert(it.key(), *it);
    if (batches)
        m_importProgress = progress;
    return true;
}

} // namespace quillmere
