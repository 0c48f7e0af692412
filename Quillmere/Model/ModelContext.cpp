#include "Quillmere/Model/ModelContext.h"
#include "Quillmere/Model/ModelContainer.h"
#include "Quillmere/Model/StoreSearchKeys.h"

#include "Quillmere/Model/StoreRows.h"
#include "Quillmere/Platform/Core/Json.h"
#include "Quillmere/Platform/Core/Logging.h"

#include <QUrl>
#include <algorithm>
#include <limits>
#include <utility>

namespace quillmere {

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
            noteError(q.lastError());
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
            noteError(q.lastError());
            if (error)
                *error = describe(q.lastError());
            return false;
        }
    }
    m_updated.clear();
    return true;
}

qint64 ModelContext::reserveRows(Entity entity, qint64 count)
{
    qint64 &next = m_nextRow[size_t(entity)];
    return std::exchange(next, next + std::max<qint64>(count, 0));
}

void ModelContext::useRowsFrom(Entity entity, qint64 first)
{
    // Exactly those: a row this context read past them is another context's.
    m_nextRow[size_t(entity)] = first;
}

void ModelContext::takeRowsWrittenElsewhere(const std::vector<StoredRow> &rows)
{
    ++m_changeCount;
    // Pages first: a clip reads its Page by row.
    std::vector<StoredRow> inOrder(rows);
    std::stable_partition(inOrder.begin(), inOrder.end(),
                          [](const StoredRow &row) { return StoreRows::of(row.entity).referencedByRow; });
    for (const StoredRow &row : inOrder) {
        const EntityRows &entityRows = StoreRows::of(row.entity);
        m_nextRow[size_t(row.entity)] = std::max(m_nextRow[size_t(row.entity)], row.rowID + 1);
        std::shared_ptr<PersistentModel> record;
        if (entityRows.loadedWhenAsked) {
            if (auto live = m_liveClips.find(row.rowID); live != m_liveClips.end())
                record = live->second.lock();
            // Not in memory: read from the store when asked for.
            if (!record)
                continue;
        } else if (auto at = held(row.entity).find(row.rowID); at != held(row.entity).end()) {
            record = at->second;
        }
        const bool isNew = !record;
        if (isNew) {
            record = entityRows.make();
            record->m_rowID = row.rowID;
        } else if (hasChanges(*record)) {
            continue;
        }
        QSqlQuery q(m_db);
        q.prepare(entityRows.selectAll() + QStringLiteral(" WHERE id = ?"));
        q.bindValue(0, row.rowID);
        if (!q.exec() || !q.next()) {
            noteError(q.lastError());
            continue;
        }
        entityRows.read(q, *record, [this](qint64 page) { return pageWithRow(page); });
        record->m_modifiedAt = optionalDate(q.value(entityRows.modifiedAtColumn())).value_or(QDateTime());
        m_updated.erase(record.get());
        if (isNew)
            index(record);
    }
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
    // A clip not captured here (synced, imported, restored) falls in by its date.
    if (clip && clip->captureOrder() == 0)
        clip->setCaptureOrder(clip->createdAt().toMSecsSinceEpoch());
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
        noteError(q.lastError());
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

void ModelContext::noteError(const QSqlError &error) const
{
    if (m_damageFound || ModelContainer::failureOf(error) != ModelContainer::OpenFailure::corrupt)
        return;
    qCCritical(lcStore, "The store is damaged: %s", qPrintable(describe(error)));
    noteDamage();
}

void ModelContext::noteDamage() const
{
    if (std::exchange(m_damageFound, true))
        return;
    if (m_onDamage)
        m_onDamage();
}

void ModelContext::letGoOfRecords()
{
    for (const auto &[row, live] : m_liveClips)
        if (ClipRef clip = live.lock())
            clip->m_context = nullptr;
    for (const auto &record : m_inserted)
        record->m_context = nullptr;
    for (const auto &record : m_deleted)
        record->m_context = nullptr;
    for (auto &held : m_held) {
        for (const auto &[row, record] : held)
            record->m_context = nullptr;
        held.clear();
    }
    m_liveClips.clear();
    m_inserted.clear();
    m_updated.clear();
    m_deleted.clear();
    ++m_changeCount;
}

void ModelContext::liftCaptureOrders(const std::vector<std::shared_ptr<PersistentModel>> &records, qint64 last)
{
    // Captured apart from this history, perhaps after the clock was put back: orders below its
    // own would have the limit take them first.
    std::vector<ClipItem *> clips;
    qint64 lowest = std::numeric_limits<qint64>::max();
    for (const auto &record : records) {
        if (record->entity() != Entity::clip)
            continue;
        auto *clip = static_cast<ClipItem *>(record.get());
        if (clip->captureOrder() == 0)
            clip->setCaptureOrder(clip->createdAt().toMSecsSinceEpoch());
        lowest = std::min(lowest, clip->captureOrder());
        clips.push_back(clip);
    }
    if (clips.empty())
        return;
    const qint64 by = ClipItem::captureOrderLift(lowest, last);
    for (ClipItem *clip : clips)
        clip->setCaptureOrder(ClipItem::liftedCaptureOrder(clip->captureOrder(), by));
}

void ModelContext::adoptRecordsOf(ModelContext &other)
{
    const qint64 last = lastCaptureOrder();
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
    other.letGoOfRecords();
    liftCaptureOrders(records, last);
    for (const auto &record : records) {
        record->m_context = nullptr;
        record->m_rowID = 0;
        insertRecord(record);
    }
}

void ModelContext::closeConnection()
{
    m_queries.clear();
    m_db.close();
}

bool ModelContext::reopenConnection(QString *error, const std::function<bool()> &isWanted)
{
    m_queries.clear();
    ++m_changeCount;
    const QString name = m_db.databaseName();
    const QString options = m_db.connectOptions();
    m_db.setDatabaseName(QUrl::fromLocalFile(name).toString(QUrl::FullyEncoded) + QStringLiteral("?mode=rw"));
    m_db.setConnectOptions(options + QStringLiteral(";QSQLITE_OPEN_URI"));
    const bool opened = m_db.open();
    m_db.setDatabaseName(name);
    m_db.setConnectOptions(options);
    if (!opened) {
        if (error)
            *error = describe(m_db.lastError());
        return false;
    }
    if (isWanted && !isWanted()) {
        m_db.close();
        if (error)
            *error = QStringLiteral("another file took its path");
        return false;
    }
    QSqlError e;
    if (ModelContainer::setUpConnection(m_db, true, &e))
        return true;
    if (error)
        *error = describe(e);
    return false;
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
