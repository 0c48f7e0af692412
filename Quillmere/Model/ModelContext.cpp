#include "Quillmere/Model/ModelContext.h"
#include "Quillmere/Model/StoreSearchKeys.h"

#include "Quillmere/Model/StoreRows.h"
#include "Quillmere/Platform/Core/Json.h"
#include "Quillmere/Platform/Core/Logging.h"

#include <algorithm>
#include <limits>

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

QString PersistentModel::entityName() const
{
    return StoreRows::of(entity()).name;
}

ModelContext::ModelContext(QSqlDatabase db, Clock clock) : m_db(std::move(db)), m_clock(std::move(clock))
{
}

ModelContext::~ModelContext()
{
    // Records may outlive the context through shared pointers held elsewhere.
    for (auto &[id, live] : m_liveClips)
        if (ClipRef clip = live.lock())
            clip->m_context = nullptr;
    for (auto &records : m_held)
        for (auto &[id, record] : records)
            record->m_context = nullptr;
    for (auto &r : m_inserted)
        r->m_context = nullptr;
    for (auto &r : m_deleted)
        r->m_context = nullptr;
    m_queries.clear();
}

QSqlQuery &ModelContext::prepared(const QString &sql)
{
    auto it = m_queries.find(sql);
    if (it == m_queries.end()) {
        auto query = std::make_unique<QSqlQuery>(m_db);
        query->prepare(sql);
        it = m_queries.emplace(sql, std::move(query)).first;
    }
    return *it->second;
}

PageRef ModelContext::pageWithRow(qint64 row) const
{
    const HeldRecords &pages = held(Entity::page);
    auto it = pages.find(row);
    return it == pages.end() ? nullptr : std::static_pointer_cast<Pinboard>(it->second);
}

template <class R> std::vector<std::shared_ptr<R>> ModelContext::heldOf(Entity entity) const
{
    std::vector<std::shared_ptr<R>> out;
    for (const auto &[row, record] : held(entity))
        out.push_back(std::static_pointer_cast<R>(record));
    return out;
}

template std::vector<PageRef> ModelContext::heldOf<Pinboard>(Entity) const;
template std::vector<SettingsRef> ModelContext::heldOf<AppSettings>(Entity) const;
template std::vector<BrandRef> ModelContext::heldOf<SourceAppBrand>(Entity) const;

void ModelContext::index(const std::shared_ptr<PersistentModel> &record)
{
    ++m_changeCount;
    const EntityRows &rows = StoreRows::of(*record);
    qint64 &nextRowID = m_nextRow[size_t(rows.entity)];
    record->m_context = this;
    if (record->m_rowID == 0)
        record->m_rowID = nextRowID;
    nextRowID = std::max(nextRowID, record->m_rowID + 1);
    if (rows.loadedWhenAsked)
        m_liveClips[record->m_rowID] = std::static_pointer_cast<ClipItem>(record);
    else
        held(rows.entity)[record->m_rowID] = record;
}

void ModelContext::detach(PersistentModel &record)
{
    ++m_changeCount;
    const EntityRows &rows = StoreRows::of(record);
    if (rows.loadedWhenAsked)
        m_liveClips.erase(record.m_rowID);
    else
        held(rows.entity).erase(record.m_rowID);
}

bool ModelContext::load(QString *error)
{
    const PageLookup pages = [this](qint64 row) { return pageWithRow(row); };
    // Pages first: clips name theirs by row.
    std::vector<Entity> order(StoreRows::entities.begin(), StoreRows::entities.end());
    std::stable_partition(order.begin(), order.end(), [](Entity e) { return StoreRows::of(e).referencedByRow; });
    for (Entity entity : order) {
        const EntityRows &rows = StoreRows::of(entity);
        QSqlQuery q(m_db);
        // Clips load when asked for; a read of the newest row tells that the table can be read.
        const QString sql =
            rows.loadedWhenAsked ? rows.selectAll() + QStringLiteral(" ORDER BY id DESC LIMIT 1") : rows.selectAll();
        if (!q.exec(sql)) {
            if (error)
                *error = describe(q.lastError());
            return false;
        }
        while (q.next()) {
            if (rows.loadedWhenAsked) {
                m_nextRow[size_t(entity)] = q.value(0).toLongLong() + 1;
                continue;
            }
            auto record = rows.make();
            record->m_rowID = q.value(0).toLongLong();
            rows.read(q, *record, pages);
            record->m_modifiedAt = optionalDate(q.value(rows.modifiedAtColumn())).value_or(QDateTime());
            index(record);
        }
        if (q.lastError().isValid()) {
            if (error)
                *error = describe(q.lastError());
            return false;
        }
    }
    m_updated.clear();
    return true;
}

void ModelContext::insertRecord(const std::shared_ptr<PersistentModel> &record)
{
    if (!record || record->m_context)
        return;
    record->m_deleted = false;
    for (const StoreBlob &blob : StoreRows::of(*record).blobs)
        blob.of(*record).m_dirty = true;
    index(record);
    m_inserted.push_back(record);
}

void ModelContext::insert(const ClipRef &clip)
{
    insertRecord(clip);
}

void ModelContext::insert(const PageRef &page)
{
    insertRecord(page);
}

void ModelContext::insert(const SettingsRef &settings)
{
    insertRecord(settings);
}

void ModelContext::insert(const BrandRef &brand)
{
    insertRecord(brand);
}

void ModelContext::remove(const std::shared_ptr<PersistentModel> &record)
{
    if (!record || record->m_context != this || record->m_deleted)
        return;
    if (record->entity() == Entity::page) {
        for (const ClipRef &clip : itemsOf(static_cast<const Pinboard *>(record.get())))
            clip->setPinboard(nullptr);
    }
    detach(*record);
    record->m_deleted = true;
    m_updated.erase(record.get());
    auto inserted = std::find(m_inserted.begin(), m_inserted.end(), record);
    if (inserted != m_inserted.end()) {
        m_inserted.erase(inserted); // never written: nothing to delete
        record->m_context = nullptr;
        return;
    }
    m_deleted.push_back(record);
}

bool ModelContext::hasChanges() const
{
    return !m_inserted.empty() || !m_updated.empty() || !m_deleted.empty();
}

void ModelContext::markDirty(PersistentModel *record)
{
    if (record->m_deleted)
        return;
    ++m_changeCount;
    if (m_updated.count(record))
        return;
    // Held here until saved: a changed clip must not be let go with its change.
    std::shared_ptr<PersistentModel> strong;
    const EntityRows &rows = StoreRows::of(*record);
    if (rows.loadedWhenAsked) {
        auto live = m_liveClips.find(record->m_rowID);
        if (live != m_liveClips.end())
            strong = live->second.lock();
    } else {
        strong = held(rows.entity).at(record->m_rowID);
    }
    if (strong)
        m_updated.emplace(record, std::move(strong));
}

void ModelContext::loadBlob(const ClipItem *clip, bool image) const
{
    const LazyBlob &blob = image ? clip->m_image : clip->m_file;
    auto &self = const_cast<ModelContext &>(*this);
    QSqlQuery &q = self.prepared(image ? QStringLiteral("SELECT data FROM clip_images WHERE clipID = ?")
                                       : QStringLiteral("SELECT data FROM clip_files WHERE clipID = ?"));
    q.bindValue(0, clip->m_rowID);
    if (q.exec() && q.next())
        blob.m_data = q.value(0).toByteArray();
    else {
        qCWarning(lcStore, "Failed to load clip data: %s", qPrintable(describe(q.lastError())));
        blob.m_data = QByteArray();
    }
    q.finish();
    blob.m_loaded = true;
}

namespace {

// Bytes compare as bytes: two keys that differ may read as the same text.
bool sameStoredValue(const QVariant &a, const QVariant &b)
{
    const bool aBytes = a.typeId() == QMetaType::QByteArray, bBytes = b.typeId() == QMetaType::QByteArray;
    if (aBytes || bBytes)
        return aBytes == bBytes && a.toByteArray() == b.toByteArray();
    return a.toString() == b.toString();
}

} // namespace

bool ModelContext::updateRow(const PersistentModel &record, const QVariantList &values, QSqlError *error)
{
    // SQLite rewrites an index only when the update sets one of its columns, and rewriting the
    // six indexes costs twenty times what the row does: indexed values are set only when they
    // changed. A clip moved to the top rewrites its date, not its hash or its identity.
    const EntityRows &rows = StoreRows::of(record);
    QStringList indexed;
    for (const StoreField &f : rows.fields)
        if (f.indexed)
            indexed << f.column;
    QSqlQuery &stored =
        prepared(QStringLiteral("SELECT %1 FROM %2 WHERE id = ?").arg(indexed.join(QStringLiteral(", ")), rows.table));
    stored.bindValue(0, record.m_rowID);
    if (!stored.exec()) {
        *error = stored.lastError();
        return false;
    }
    if (!stored.next()) {
        stored.finish();
        return false; // not stored: written whole
    }
    QStringList set;
    QVariantList bound;
    int storedColumn = 0;
    for (int column = 1; column < int(values.size()); ++column) {
        const bool isField = column <= int(rows.fields.size());
        if (isField && rows.fields[size_t(column - 1)].indexed) {
            const QVariant was = stored.value(storedColumn++);
            const QVariant &now = values[column];
            if (was.isNull() == now.isNull() && (was.isNull() || sameStoredValue(was, now)))
                continue;
        }
        set << (isField ? rows.fields[size_t(column - 1)].column : QStringLiteral("modifiedAt"))
                + QStringLiteral(" = ?");
        bound << values[column];
    }
    stored.finish();
    bound << record.m_rowID;
    QSqlQuery &q =
        prepared(QStringLiteral("UPDATE %1 SET %2 WHERE id = ?").arg(rows.table, set.join(QStringLiteral(", "))));
    return execWith(q, bound, error);
}

bool ModelContext::writeRecord(PersistentModel &record, bool isNew, QSqlError *error)
{
    const EntityRows &rows = StoreRows::of(record);
    const QVariantList values = rows.values(record, record.m_rowID, m_saveTime);
    if (!rows.updatedInPlace || isNew || !updateRow(record, values, error)) {
        if (error->isValid())
            return false;
        QStringList marks;
        for (qsizetype i = 0; i < values.size(); ++i)
            marks << QStringLiteral("?");
        QSqlQuery &q = prepared(QStringLiteral("INSERT OR REPLACE INTO %1(%2) VALUES(%3)")
                                    .arg(rows.table, rows.columns(), marks.join(QLatin1Char(','))));
        if (!execWith(q, values, error))
            return false;
    }
    if (rows.entity == Entity::clip
        && !StoreSearchKeys::write(prepared(StoreSearchKeys::writeStatement()), record.m_rowID,
                                   static_cast<const ClipItem &>(record), error))
        return false;
    for (const StoreBlob &b : rows.blobs) {
        LazyBlob &blob = b.of(record);
        if (!blob.m_dirty)
            continue;
        const bool store = blob.m_data && !blob.m_data->isEmpty();
        QSqlQuery &bq =
            prepared(store ? QStringLiteral("INSERT OR REPLACE INTO %1(clipID, data) VALUES(?, ?)").arg(b.table)
                           : QStringLiteral("DELETE FROM %1 WHERE clipID = ?").arg(b.table));
        bq.bindValue(0, record.m_rowID);
        if (store)
            bq.bindValue(1, *blob.m_data);
        if (!bq.exec()) {
            *error = bq.lastError();
            return false;
        }
    }
    return true;
}

bool ModelContext::deleteRecord(PersistentModel &record, QSqlError *error)
{
    const EntityRows &rows = StoreRows::of(record);
    QStringList statements{QStringLiteral("DELETE FROM %1 WHERE id = ?").arg(rows.table)};
    for (const StoreBlob &blob : rows.blobs)
        statements << QStringLiteral("DELETE FROM %1 WHERE clipID = ?").arg(blob.table);
    for (const QString &sql : statements) {
        QSqlQuery &q = prepared(sql);
        q.bindValue(0, record.m_rowID);
        if (!q.exec()) {
            *error = q.lastError();
            return false;
        }
    }
    QSqlQuery &q = prepared(QStringLiteral("INSERT INTO deletions(entity, recordID, deletedAt) VALUES(?, ?, ?)"));
    q.bindValue(0, rows.name);
    q.bindValue(1, uuidText(rows.stableID(record)));
    q.bindValue(2, m_saveTime);
    if (!q.exec()) {
        *error = q.lastError();
        return false;
    }
    return true;
}

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
    const QDateTime now = m_clock();
    m_saveTime = now.toMSecsSinceEpoch();
    // BEGIN and COMMIT go through queries of our own: the driver's transaction calls drop SQLite's
    // error code, and a full disk in WAL mode usually shows first at COMMIT.
    QSqlQuery control(m_db);
    if (!control.exec(QStringLiteral("BEGIN"))) {
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
        m_lastSaveFailure = saveFailureOf(failure);
        // A COMMIT refused without a reason is the disk's doing, not the data's: keep the changes.
        if (commitFailed && m_lastSaveFailure == SaveFailure::rejected && sqliteCode(failure) < 0)
            m_lastSaveFailure = SaveFailure::unavailable;
        if (error)
            *error = describe(failure);
        return false;
    }
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

void ModelContext::adoptRecordsOf(ModelContext &other)
{
    std::vector<std::shared_ptr<PersistentModel>> records;
    // Pages first: clips name theirs by row, and the Page gets its row here before they are written.
    for (const auto &[row, page] : other.held(Entity::page))
        records.push_back(page);
    for (const ClipRef &clip : other.allClips()) {
        // The bytes live in the other store; read them while it is still there.
        for (const bool image : {true, false})
            if (!(image ? clip->m_image : clip->m_file).m_loaded)
                other.loadBlob(clip.get(), image);
        records.push_back(clip);
    }
    for (const auto &[row, settings] : other.held(Entity::settings))
        records.push_back(settings);
    for (const auto &[row, brand] : other.held(Entity::brand))
        if (!sourceAppBrand(static_cast<const SourceAppBrand &>(*brand).bundleID()))
            records.push_back(brand);
    // What stays behind (deleted clips, brands this store has) lets go of the other store.
    for (const auto &[row, live] : other.m_liveClips)
        if (ClipRef clip = live.lock())
            clip->m_context = nullptr;
    for (const auto &record : other.m_deleted)
        record->m_context = nullptr;
    for (const auto &[row, brand] : other.held(Entity::brand))
        brand->m_context = nullptr;
    for (auto &held : other.m_held)
        held.clear();
    other.m_liveClips.clear();
    other.m_inserted.clear();
    other.m_updated.clear();
    other.m_deleted.clear();
    ++other.m_changeCount;
    for (const auto &record : records) {
        record->m_context = nullptr;
        record->m_rowID = 0;
        insertRecord(record);
    }
}

std::vector<std::pair<QString, QUuid>> ModelContext::recordedDeletions() const
{
    std::vector<std::pair<QString, QUuid>> out;
    QSqlQuery q(m_db);
    if (q.exec(QStringLiteral("SELECT entity, recordID FROM deletions ORDER BY rowid")))
        while (q.next())
            out.emplace_back(q.value(0).toString(), QUuid::fromString(q.value(1).toString()));
    return out;
}

} // namespace quillmere
