// The save path: a batch of changes written in one transaction, what a failed batch leaves, and
// one record at a time on a disk with little room left.

#include "Quillmere/Model/ModelContext.h"

#include "Quillmere/Model/StoreRows.h"

#include <algorithm>
#include <unordered_set>

namespace quillmere {
namespace {

// Blobs above this size are dropped from memory once saved and read again on demand.
constexpr qint64 kKeepBlobInMemoryBytes = 64 * 1024;

bool isReferenced(const PersistentModel *record)
{
    return StoreRows::of(*record).referencedByRow;
}

ModelContext::SaveFailure saveFailureOf(const QSqlError &error)
{
    switch (sqliteCode(error)) {
    case 13: // SQLITE_FULL
        return ModelContext::SaveFailure::diskFull;
    case 5: // SQLITE_BUSY
    case 6: // SQLITE_LOCKED
        return ModelContext::SaveFailure::locked;
    case 3:  // SQLITE_PERM
    case 7:  // SQLITE_NOMEM
    case 8:  // SQLITE_READONLY
    case 10: // SQLITE_IOERR
    case 11: // SQLITE_CORRUPT
    case 14: // SQLITE_CANTOPEN
    case 15: // SQLITE_PROTOCOL
    case 26: // SQLITE_NOTADB
        return ModelContext::SaveFailure::unavailable;
    default:
        return ModelContext::SaveFailure::rejected;
    }
}

} // namespace

bool ModelContext::hasChanges(const PersistentModel &record) const
{
    const auto same = [&](const std::shared_ptr<PersistentModel> &r) { return r.get() == &record; };
    return m_updated.count(const_cast<PersistentModel *>(&record)) > 0
        || std::any_of(m_inserted.begin(), m_inserted.end(), same);
}

bool ModelContext::save(QString *error, const std::function<bool(qint64 saveTime)> &beforeCommit)
{
    return saveRecords(pendingRecords(), error, beforeCommit);
}

std::vector<std::shared_ptr<PersistentModel>> ModelContext::unsavedRecords() const
{
    std::vector<std::shared_ptr<PersistentModel>> out(m_inserted.begin(), m_inserted.end());
    const std::unordered_set<PersistentModel *> inserted = [&] {
        std::unordered_set<PersistentModel *> set;
        for (const auto &record : m_inserted)
            set.insert(record.get());
        return set;
    }();
    for (const auto &[record, held] : m_updated)
        if (!inserted.count(record))
            out.push_back(held);
    return out;
}

bool ModelContext::savePart(size_t maxRecords, QString *error)
{
    std::vector<PersistentModel *> records = pendingRecords();
    if (records.size() > maxRecords)
        records.resize(std::max<size_t>(1, maxRecords));
    return saveRecords(std::move(records), error, {});
}

size_t ModelContext::saveWhatFits(size_t maxRecords, QString *error)
{
    const std::vector<PersistentModel *> pending = pendingRecords();
    std::vector<std::pair<qint64, PersistentModel *>> bySize;
    bySize.reserve(pending.size());
    for (PersistentModel *record : pending) {
        // Roughly what the rows take: enough to put the small before the large.
        const EntityRows &rows = StoreRows::of(*record);
        qint64 bytes = 0;
        for (const QVariant &value : rows.values(*record, record->m_rowID, 0))
            bytes += value.typeId() == QMetaType::QByteArray ? value.toByteArray().size() : value.toString().size();
        for (const StoreBlob &b : rows.blobs) {
            const LazyBlob &blob = b.of(*record);
            if (blob.m_dirty && blob.m_data)
                bytes += blob.m_data->size();
        }
        bySize.emplace_back(bytes, record);
    }
    // Pages stay first: a clip filed into a new Page needs its row.
    std::stable_sort(bySize.begin(), bySize.end(), [](const auto &a, const auto &b) {
        const bool aPage = isReferenced(a.second), bPage = isReferenced(b.second);
        return aPage != bPage ? aPage : a.first < b.first;
    });
    if (bySize.empty()) {
        saveRecords({}, error, {});
        return 0;
    }
    // On a disk with little room, the write-ahead log holds what was saved last and the pages of
    // saves that failed: moved into the store and cut back before and after each save, it leaves
    // the room to the next one.
    QSqlQuery checkpoint(m_db);
    const auto moveLogIntoStore = [&] {
        checkpoint.exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
        checkpoint.finish();
    };
    size_t saved = 0;
    for (const auto &[bytes, record] : bySize) {
        if (saved == maxRecords)
            break;
        moveLogIntoStore();
        if (!saveRecords({record}, error, {}))
            break;
        ++saved;
    }
    moveLogIntoStore();
    return saved;
}

std::vector<PersistentModel *> ModelContext::pendingRecords() const
{
    std::vector<PersistentModel *> pending;
    pending.reserve(m_inserted.size() + m_updated.size());
    std::unordered_set<PersistentModel *> inserted;
    for (const auto &record : m_inserted) {
        pending.push_back(record.get());
        inserted.insert(record.get());
    }
    for (const auto &[record, held] : m_updated)
        if (!inserted.count(record))
            pending.push_back(record);
    // Pages first, so that a clip filed into a new Page finds it.
    std::stable_partition(pending.begin(), pending.end(), isReferenced);
    return pending;
}

bool ModelContext::saveRecords(std::vector<PersistentModel *> pending, QString *error,
                               const std::function<bool(qint64 saveTime)> &beforeCommit)
{
    m_lastSaveFailure = SaveFailure::none;
    if (!hasChanges())
        return true;
    if (m_damageFound) {
        // Written on, a damaged file may lose more: the changes wait for the store read back.
        m_lastSaveFailure = SaveFailure::unavailable;
        if (error)
            *error = QStringLiteral("The store is damaged");
        return false;
    }
    if (!m_db.isOpen()) {
        // Its file is being put back in place: the changes wait for it.
        m_lastSaveFailure = SaveFailure::unavailable;
        if (error)
            *error = QStringLiteral("The store is not open");
        return false;
    }
    const QDateTime now = m_clock();
    m_saveTime = now.toMSecsSinceEpoch();
    // BEGIN and COMMIT go through queries of our own: the driver's transaction calls drop SQLite's
    // error code, and a full disk in WAL mode usually shows first at COMMIT. IMMEDIATE: a read
    // before the first write would fail at once, not wait, should a worker commit in between.
    QSqlQuery control(m_db);
    if (!control.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        noteError(control.lastError());
        m_lastSaveFailure = saveFailureOf(control.lastError());
        if (error)
            *error = describe(control.lastError());
        return false;
    }
    QSqlError failure;
    std::unordered_set<PersistentModel *> inserted;
    for (const auto &record : m_inserted)
        inserted.insert(record.get());
    bool ok = true;
    for (const auto &record : m_deleted)
        if (ok)
            ok = deleteRecord(*record, &failure);
    for (PersistentModel *record : pending)
        if (ok)
            ok = writeRecord(*record, inserted.count(record) > 0, &failure);
    if (ok && beforeCommit && !beforeCommit(m_saveTime)) {
        ok = false;
        failure = QSqlError(QStringLiteral("The rows kept with this save could not be written"), {},
                            QSqlError::TransactionError);
    }
    bool commitFailed = false;
    if (ok && !control.exec(QStringLiteral("COMMIT"))) {
        ok = false;
        commitFailed = true;
        failure = control.lastError();
    }
    for (auto &[sql, q] : m_queries)
        q->finish();
    if (!ok) {
        control.exec(QStringLiteral("ROLLBACK"));
        noteError(failure);
        m_lastSaveFailure = saveFailureOf(failure);
        // A COMMIT refused without a reason is the disk's doing, not the data's: keep the changes.
        if (commitFailed && m_lastSaveFailure == SaveFailure::rejected && sqliteCode(failure) < 0)
            m_lastSaveFailure = SaveFailure::unavailable;
        if (error)
            *error = describe(failure);
        return false;
    }
    if (m_onCommit)
        m_onCommit();
    for (PersistentModel *record : pending) {
        record->m_modifiedAt = now;
        for (const StoreBlob &b : StoreRows::of(*record).blobs) {
            LazyBlob &blob = b.of(*record);
            blob.m_dirty = false;
            if (blob.m_size > kKeepBlobInMemoryBytes) {
                blob.m_data.reset();
                blob.m_loaded = false;
            }
        }
    }
    for (const auto &record : m_deleted)
        record->m_context = nullptr;
    m_deleted.clear();
    const std::unordered_set<PersistentModel *> saved(pending.begin(), pending.end());
    std::erase_if(m_inserted, [&](const auto &record) { return saved.count(record.get()) > 0; });
    for (PersistentModel *record : pending)
        m_updated.erase(record);
    return true;
}

bool ModelContext::reloadRecord(PersistentModel &record)
{
    const EntityRows &rows = StoreRows::of(record);
    QSqlQuery q(m_db);
    q.prepare(rows.selectAll() + QStringLiteral(" WHERE id = ?"));
    q.bindValue(0, record.m_rowID);
    if (!q.exec() || !q.next())
        return false;
    rows.read(q, record, [this](qint64 row) { return pageWithRow(row); });
    return true;
}

void ModelContext::rollback()
{
    for (const auto &record : m_inserted) {
        detach(*record);
        record->m_deleted = true;
        record->m_context = nullptr;
        m_updated.erase(record.get());
    }
    m_inserted.clear();
    // Deleted pages come back before clips read their Page again.
    auto referenced = [](const auto &r) { return isReferenced(r.get()); };
    std::stable_partition(m_deleted.begin(), m_deleted.end(), referenced);
    // Held until read back: the pending lists may have been all that kept them.
    std::vector<std::shared_ptr<PersistentModel>> toReload;
    for (const auto &record : m_deleted) {
        record->m_deleted = false;
        index(record);
        toReload.push_back(record);
    }
    m_deleted.clear();
    for (const auto &[raw, record] : m_updated)
        toReload.push_back(record);
    std::stable_partition(toReload.begin(), toReload.end(), referenced);
    for (const auto &record : toReload)
        reloadRecord(*record);
    m_updated.clear();
}

} // namespace quillmere
