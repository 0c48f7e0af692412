#include "Quillmere/Sync/SyncEngine.h"

#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Platform/Core/InBackground.h"
#include "Quillmere/Platform/Core/Json.h"
#include "Quillmere/Sync/SyncLogging.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlError>
#include <QSqlQuery>
#include <limits>

namespace quillmere {
namespace {

const QString kExportTarget = QStringLiteral("export.target");
const QString kExportProgress = QStringLiteral("export.progress");
const QString kImportProgress = QStringLiteral("import.progress");

qint64 msOf(const PersistentModel &record)
{
    // A record not saved yet is the newest there is.
    return record.modifiedAt().isValid() ? record.modifiedAt().toMSecsSinceEpoch() : std::numeric_limits<qint64>::max();
}

QJsonObject exportProgressJson(const ExportProgress &p)
{
    QJsonObject recent;
    for (auto it = p.recent.constBegin(); it != p.recent.constEnd(); ++it)
        recent.insert(it.key(), double(*it));
    return {{QStringLiteral("watermark"), double(p.watermark)},
            {QStringLiteral("recent"), recent},
            {QStringLiteral("deletionRow"), double(p.deletionRow)},
            {QStringLiteral("nextNumber"), double(p.nextNumber)}};
}

ExportProgress exportProgressFrom(const QJsonObject &o)
{
    ExportProgress p;
    p.watermark = qint64(o.value(QStringLiteral("watermark")).toDouble(-1));
    const QJsonObject recent = o.value(QStringLiteral("recent")).toObject();
    for (auto it = recent.begin(); it != recent.end(); ++it)
        p.recent.insert(it.key(), qint64(it->toDouble()));
    p.deletionRow = qint64(o.value(QStringLiteral("deletionRow")).toDouble(0));
    p.nextNumber = qint64(o.value(QStringLiteral("nextNumber")).toDouble(1));
    return p;
}

} // namespace

SyncEngine::SyncEngine(ClipStore &store, Options options, QObject *parent)
    : QObject(parent), m_store(store), m_options(std::move(options))
{
    m_exportTimer.setSingleShot(true);
    m_importTimer.setSingleShot(true);
    connect(&m_exportTimer, &QTimer::timeout, this, &SyncEngine::startExport);
    connect(&m_importTimer, &QTimer::timeout, this, &SyncEngine::startImport);
    connect(&m_rescanTimer, &QTimer::timeout, this, [this] {
        checkAvailability();
        scheduleImport();
        // Changes saved without a notice (test clips cleaned) still go out; a look that finds
        // nothing is not reported.
        if (!m_exporting && !m_exportTimer.isActive()) {
            m_quietExport = true;
            m_exportTimer.start(0);
        }
    });
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, &SyncEngine::scheduleImport);
}

SyncEngine::~SyncEngine() = default;

QString SyncEngine::meta(const QString &key) const
{
    QSqlQuery q(m_store.context().database());
    q.prepare(QStringLiteral("SELECT value FROM sync_meta WHERE key = ?"));
    q.bindValue(0, key);
    return q.exec() && q.next() ? q.value(0).toString() : QString();
}

bool SyncEngine::start()
{
    if (m_running)
        return true;
    if (m_store.container().isInMemory() || !SyncFolder::isValidDeviceID(m_options.device)) {
        qCWarning(lcSync, "Sync needs a store file and a device id");
        return false;
    }
    QSqlDatabase db = m_store.context().database();
    QSqlQuery q(db);
    if (!q.exec(
            QStringLiteral("CREATE TABLE IF NOT EXISTS sync_versions(recordID TEXT PRIMARY KEY, entity TEXT NOT NULL,"
                           " modifiedAt INTEGER NOT NULL, device TEXT NOT NULL, localModifiedAt INTEGER NOT NULL,"
                           " deleted INTEGER NOT NULL)"))
        || !q.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS sync_meta(key TEXT PRIMARY KEY, value TEXT NOT NULL)"))) {
        qCWarning(lcSync, "Cannot keep sync bookkeeping in the store: %s", qPrintable(q.lastError().text()));
        return false;
    }
    if (q.exec(QStringLiteral("SELECT recordID, modifiedAt, device, localModifiedAt, deleted FROM sync_versions")))
        while (q.next())
            m_versions.insert(
                q.value(0).toString(),
                {q.value(1).toLongLong(), q.value(2).toString(), q.value(3).toLongLong(), q.value(4).toBool()});
    // Another folder or device id starts afresh: everything is written there again.
    const QString target = m_options.root + QLatin1Char('\n') + m_options.device;
    if (meta(kExportTarget) == target) {
        m_exportProgress = exportProgressFrom(QJsonDocument::fromJson(meta(kExportProgress).toUtf8()).object());
        const QJsonObject devices = QJsonDocument::fromJson(meta(kImportProgress).toUtf8()).object();
        for (auto it = devices.begin(); it != devices.end(); ++it) {
            DeviceProgress p;
            p.last = qint64(it->toObject().value(QStringLiteral("last")).toDouble());
            for (const QJsonValue &n : it->toObject().value(QStringLiteral("pending")).toArray())
                p.pending.insert(qint64(n.toDouble()));
            m_importProgress.insert(it.key(), p);
        }
    } else {
        q.prepare(QStringLiteral("INSERT OR REPLACE INTO sync_meta(key, value) VALUES(?, ?)"));
        q.bindValue(0, kExportTarget);
        q.bindValue(1, target);
        q.exec();
        q.exec(QStringLiteral("DELETE FROM sync_meta WHERE key IN ('export.progress', 'import.progress')"));
    }
    m_running = true;
    m_saveConnection = connect(&m_store, &ClipStore::didSave, this, &SyncEngine::scheduleExport);

    emitEvent(SyncEvent::Type::setup, std::nullopt);
    QString error;
    m_available = SyncFolder::prepareDevice(m_options.root, m_options.device, &error);
    emitEvent(SyncEvent::Type::setup, m_available, error);
    rewatch();
    m_rescanTimer.start(m_options.rescanIntervalMs);
    m_exportTimer.start(0);
    m_importTimer.start(0);
    return true;
}

void SyncEngine::stop()
{
    if (!m_running)
        return;
    m_running = false;
    disconnect(m_saveConnection);
    m_exportTimer.stop();
    m_importTimer.stop();
    m_rescanTimer.stop();
    if (!m_watcher.directories().isEmpty())
        m_watcher.removePaths(m_watcher.directories());
}

void SyncEngine::scheduleExport()
{
    if (!m_running)
        return;
    m_quietExport = false;
    if (m_exporting)
        m_exportAgain = true;
    else
        m_exportTimer.start(m_options.exportDelayMs);
}

void SyncEngine::scheduleImport()
{
    if (!m_running)
        return;
    if (m_importing)
        m_importAgain = true;
    else if (!m_importTimer.isActive())
        m_importTimer.start(m_options.importDelayMs);
}

bool SyncEngine::isIdle() const
{
    return !m_exporting && !m_importing && !m_exportTimer.isActive() && !m_importTimer.isActive();
}

void SyncEngine::maybeIdle()
{
    if (isIdle())
        Q_EMIT becameIdle();
}

void SyncEngine::emitEvent(SyncEvent::Type type, std::optional<bool> succeeded, const QString &error)
{
    SyncEvent e;
    e.type = type;
    e.startDate = m_store.now();
    if (succeeded) {
        e.endDate = e.startDate;
        e.succeeded = *succeeded;
        if (!*succeeded && !error.isEmpty())
            e.errorDescription = error;
    }
    Q_EMIT event(e);
}

void SyncEngine::checkAvailability()
{
    const bool available = SyncFolder::isAvailable(m_options.root);
    if (available == m_available)
        return;
    m_available = available;
    qCInfo(lcSync, "The sync folder %s is %s", qPrintable(m_options.root), available ? "back" : "gone");
    Q_EMIT availabilityChanged(available);
    if (available) {
        scheduleExport();
        scheduleImport();
    }
}

void SyncEngine::rewatch()
{
    if (!m_watcher.directories().isEmpty())
        m_watcher.removePaths(m_watcher.directories());
    QStringList dirs{SyncFolder::containerPath(m_options.root)};
    for (const QString &device : SyncFolder::otherDevices(m_options.root, m_options.device))
        dirs << SyncFolder::devicePath(m_options.root, device)
             << SyncFolder::devicePath(m_options.root, device) + QStringLiteral("/changes");
    for (const QString &dir : dirs)
        if (QFileInfo(dir).isDir() && !QFileInfo(dir).isSymLink())
            m_watcher.addPath(dir);
}

void SyncEngine::startExport()
{
    if (!m_running || m_exporting)
        return;
    m_exporting = true;
    m_exportAgain = false;
    m_exportQuietly = m_quietExport;
    m_quietExport = false;
    if (!m_exportQuietly)
        emitEvent(SyncEvent::Type::export_, std::nullopt);
    ExportJob job{m_store.container().storeURL(), m_options.root, m_options.device, m_exportProgress,
                  m_options.compactAfter};
    inBackground(
        this, [job] { return runExport(job); }, [this](ExportResult result) { finishExport(result); });
}

void SyncEngine::finishExport(const ExportResult &result)
{
    m_exporting = false;
    if (result.ok) {
        m_exportProgress = result.progress;
        saveExportProgress();
    } else {
        // The progress stays where it was: the next export writes the same changes again.
        qCWarning(lcSync, "Export failed: %s", qPrintable(result.error));
    }
    if (m_exportQuietly && (!result.ok || result.exported > 0))
        emitEvent(SyncEvent::Type::export_, std::nullopt);
    if (!m_exportQuietly || !result.ok || result.exported > 0)
        emitEvent(SyncEvent::Type::export_, result.ok, result.error);
    checkAvailability();
    if (m_exportAgain && m_running)
        m_exportTimer.start(m_options.exportDelayMs);
    if (m_deferredImport) {
        const ImportResult deferred = std::move(*m_deferredImport);
        m_deferredImport.reset();
        finishImport(deferred); // ends with its own idle check
        return;
    }
    maybeIdle();
}

void SyncEngine::saveExportProgress()
{
    QSqlQuery q(m_store.context().database());
    q.prepare(QStringLiteral("INSERT OR REPLACE INTO sync_meta(key, value) VALUES(?, ?)"));
    q.bindValue(0, kExportProgress);
    q.bindValue(1,
                QString::fromUtf8(QJsonDocument(exportProgressJson(m_exportProgress)).toJson(QJsonDocument::Compact)));
    if (!q.exec())
        qCWarning(lcSync, "Could not keep the export progress: %s", qPrintable(q.lastError().text()));
}

void SyncEngine::startImport()
{
    if (!m_running || m_importing)
        return;
    m_importing = true;
    m_importAgain = false;
    ImportJob job{m_options.root, m_options.device, m_importProgress};
    inBackground(
        this, [job] { return runImport(job); },
        [this](ImportResult result) {
            // Applied only while no export reads the store, so an export never sees an imported row
            // without the note that it was imported.
            if (m_exporting)
                m_deferredImport = std::move(result);
            else
                finishImport(result);
        });
}

void SyncEngine::finishImport(const ImportResult &result)
{
    m_importing = false;
    if (!m_running)
        return;
    if (!result.ok) {
        emitEvent(SyncEvent::Type::import, std::nullopt);
        emitEvent(SyncEvent::Type::import, false, result.error);
    } else if (!result.batches.empty()) {
        emitEvent(SyncEvent::Type::import, std::nullopt);
        std::vector<ImportedRecord> records;
        for (size_t b = 0; b < result.batches.size(); ++b)
            for (size_t i = 0; i < result.batches[b].records.size(); ++i)
                records.push_back(
                    {&result.batches[b].records[i], b, result.batches[b].sources[i],
                     m_importProgress.value(result.batches[b].device).pending.contains(result.batches[b].sources[i])});
        // Settings, then Pages, then the clips that name them, each in the order written.
        std::stable_sort(records.begin(), records.end(), [](const ImportedRecord &x, const ImportedRecord &y) {
            return syncTypeRank(x.record->type) < syncTypeRank(y.record->type);
        });
        std::vector<ImportBatch> batches = result.batches;
        int applied = 0;
        const bool kept = apply(records, &batches, &applied);
        emitEvent(SyncEvent::Type::import, kept, kept ? QString() : QStringLiteral("The history could not be saved"));
        if (kept && applied > 0)
            Q_EMIT imported(applied);
    }
    if (result.more)
        m_importAgain = true;
    checkAvailability();
    rewatch();
    if (m_importAgain)
        m_importTimer.start(m_options.importDelayMs);
    maybeIdle();
}

std::optional<std::pair<qint64, QString>> SyncEngine::currentVersion(const SyncRecord &r)
{
    ModelContext &context = m_store.context();
    const QUuid id = QUuid::fromString(r.id);
    const PersistentModel *live = nullptr;
    ClipRef clip;
    if (r.type == QLatin1String("ClipItem"))
        live = (clip = context.clipWithDedupID(id)).get();
    else if (r.type == QLatin1String("Pinboard"))
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
        m_localDeletions.emplace();
        QSqlQuery q(m_store.context().database());
        if (q.exec(QStringLiteral("SELECT recordID, MAX(deletedAt) FROM deletions GROUP BY recordID")))
            while (q.next())
                m_localDeletions->insert(q.value(0).toString(), q.value(1).toLongLong());
    }
    return *m_localDeletions;
}

bool SyncEngine::apply(const std::vector<ImportedRecord> &records, std::vector<ImportBatch> *batches, int *count)
{
    // Saved every so often: the store answers questions from its unsaved changes too, and a long
    // list of them makes every lookup slow.
    constexpr size_t kSaveEvery = 500;
    m_localDeletions.reset();
    // Versions taken earlier in this batch, not saved yet.
    QHash<QString, std::pair<qint64, QString>> taken;
    Applied chunk;
    for (const ImportedRecord &imported : records) {
        const SyncRecord &r = *imported.record;
        if (syncTypeRank(r.type) < 0)
            continue;
        const auto earlier = taken.constFind(r.id);
        const bool inThisPass = earlier != taken.constEnd();
        const auto current = inThisPass ? std::optional(*earlier) : currentVersion(r);
        // A writer's own later file wins over its earlier one, also within one clock tick; a
        // version already stored is not taken again when its file is read once more.
        const bool same = current && r.modifiedAt == current->first && r.device == current->second;
        if (current && !r.isNewerThan(current->first, current->second) && !same)
            continue;
        if (same && !inThisPass && imported.reread && isStored(r))
            continue;
        // A clip whose Page has not arrived is read again with the file that holds it.
        if (!pageResolves(r)) {
            (*batches)[imported.batch].progress.pending.insert(imported.source);
            continue;
        }
        auto record = applyRecord(r);
        if (!record)
            continue;
        taken.insert(r.id, {r.modifiedAt, r.device});
        const bool written = *record && m_store.context().hasChanges(**record);
        chunk.push_back({r, std::move(*record), written});
        ++*count;
        if (chunk.size() >= kSaveEvery) {
            if (!commit(chunk, nullptr))
                return false;
            chunk.clear();
        }
    }
    m_localDeletions.reset();
    return commit(chunk, batches);
}

bool SyncEngine::commit(const Applied &chunk, const std::vector<ImportBatch> *batches)
{
    QSqlDatabase db = m_store.context().database();
    QHash<QString, Version> versions;
    QHash<QString, DeviceProgress> progress = m_importProgress;
    // The versions taken and how far each device was read go into the save of the records they
    // describe: a crash between the two would turn imported rows into changes of this device.
    auto keep = [&](qint64 saveTime) {
        QSqlQuery deletedAt(db);
        deletedAt.prepare(QStringLiteral("SELECT MAX(deletedAt) FROM deletions WHERE recordID = ?"));
        QSqlQuery q(db);
        q.prepare(QStringLiteral("INSERT OR REPLACE INTO sync_versions(recordID, entity, modifiedAt, device,"
                                 " localModifiedAt, deleted) VALUES(?, ?, ?, ?, ?, ?)"));
        for (const AppliedRecord &a : chunk) {
            const SyncRecord &r = a.record;
            Version v{r.modifiedAt, r.device, 0, r.deleted};
            if (r.deleted) {
                deletedAt.bindValue(0, r.id);
                if (deletedAt.exec() && deletedAt.next())
                    v.localModifiedAt = deletedAt.value(0).toLongLong();
            } else if (a.model && !a.model->isDeleted()) {
                v.localModifiedAt = a.written ? saveTime : msOf(*a.model);
            }
            versions.insert(r.id, v);
            q.bindValue(0, r.id);
            q.bindValue(1, r.type);
            q.bindValue(2, v.modifiedAt);
            q.bindValue(3, v.device);
            q.bindValue(4, v.localModifiedAt);
            q.bindValue(5, v.deleted ? 1 : 0);
            if (!q.exec()) {
                qCWarning(lcSync, "Could not keep sync versions: %s", qPrintable(q.lastError().text()));
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
            devices.insert(
                it.key(),
                QJsonObject{{QStringLiteral("last"), double(it->last)}, {QStringLiteral("pending"), pending}});
        }
        q.prepare(QStringLiteral("INSERT OR REPLACE INTO sync_meta(key, value) VALUES(?, ?)"));
        q.bindValue(0, kImportProgress);
        q.bindValue(1, QString::fromUtf8(QJsonDocument(devices).toJson(QJsonDocument::Compact)));
        return q.exec();
    };
    bool ok;
    if (m_store.context().hasChanges()) {
        ok = m_store.save(keep);
    } else {
        ok = db.transaction() && keep(0) && db.commit();
        if (!ok)
            db.rollback();
    }
    if (!ok)
        return false;
    for (auto it = versions.constBegin(); it != versions.constEnd(); ++it)
        m_versions.insert(it.key(), *it);
    if (batches)
        m_importProgress = progress;
    return true;
}

} // namespace quillmere
