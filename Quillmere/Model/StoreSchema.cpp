#include "Quillmere/Model/StoreSchema.h"

#include "Quillmere/Model/ModelContext.h"
#include "Quillmere/Model/StoreRows.h"
#include "Quillmere/Model/StoreSearchKeys.h"
#include "Quillmere/Platform/Core/Json.h"
#include "Quillmere/Platform/Core/Logging.h"

#include <QSqlQuery>
#include <QSqlRecord>
#include <QStringList>
#include <iterator>
#include <limits>
#include <vector>

namespace quillmere::StoreSchema {
namespace {

struct Column {
    QString name;
    // Required columns carry a DEFAULT, so that a store that lacks them can gain them.
    QString definition;
    // What the rows of such a store get instead of the DEFAULT.
    QString fill = {};
    // The rows can go without it for a while: a store without room for the fill is used as it is.
    bool fillLater = false;
};

struct Table {
    QString name;
    std::vector<Column> columns;
};

// A random UUID in the upper-case text form the store keeps.
const QString kNewUUID = QStringLiteral(
    "upper(hex(randomblob(4)) || '-' || hex(randomblob(2)) || '-4' || substr(hex(randomblob(2)), 2) || '-'"
    " || substr('89AB', 1 + abs(random()) % 4, 1) || substr(hex(randomblob(2)), 2) || '-' || hex(randomblob(6)))");

QString blobSize(const QString &table)
{
    return QStringLiteral("COALESCE((SELECT length(data) FROM %1 WHERE clipID = clips.id), -1)").arg(table);
}

std::vector<Table> version1Tables()
{
    const QString text = QStringLiteral("TEXT");
    const QString integer = QStringLiteral("INTEGER");
    const QString requiredText = QStringLiteral("TEXT NOT NULL DEFAULT ''");
    const QString requiredZero = QStringLiteral("INTEGER NOT NULL DEFAULT 0");
    const QString id = QStringLiteral("INTEGER PRIMARY KEY");
    return {
        {QStringLiteral("clip_images"),
         {{QStringLiteral("clipID"), id}, {QStringLiteral("data"), QStringLiteral("BLOB NOT NULL")}}},
        {QStringLiteral("clip_files"),
         {{QStringLiteral("clipID"), id}, {QStringLiteral("data"), QStringLiteral("BLOB NOT NULL")}}},
        {QStringLiteral("clips"),
         {{QStringLiteral("id"), id},
          {QStringLiteral("dedupID"), requiredText, kNewUUID},
          {QStringLiteral("createdAt"), requiredZero},
          {QStringLiteral("kind"), QStringLiteral("TEXT NOT NULL DEFAULT 'text'")},
          {QStringLiteral("text"), text},
          {QStringLiteral("fileName"), text},
          {QStringLiteral("fileTypeIdentifier"), text},
          {QStringLiteral("customTitle"), text},
          {QStringLiteral("recognizedText"), text},
          {QStringLiteral("sourceAppName"), text},
          {QStringLiteral("sourceAppBundleID"), text},
          {QStringLiteral("isPinned"), requiredZero},
          {QStringLiteral("contentHash"), requiredText},
          {QStringLiteral("linkTitle"), text},
          {QStringLiteral("expiresAt"), integer},
          {QStringLiteral("pinboardID"), integer},
          {QStringLiteral("isSavedToPage"), requiredZero},
          {QStringLiteral("payloadByteCount"), requiredZero},
          {QStringLiteral("imageSize"), QStringLiteral("INTEGER NOT NULL DEFAULT -1"),
           blobSize(QStringLiteral("clip_images"))},
          {QStringLiteral("fileSize"), QStringLiteral("INTEGER NOT NULL DEFAULT -1"),
           blobSize(QStringLiteral("clip_files"))},
          {QStringLiteral("modifiedAt"), integer},
          // Captured before: as the dates put them, which is how the history limit pruned them. On a
          // disk without room for that, a row reads its date as its order until keepCaptureOrder
          // gives it one.
          {QStringLiteral("captureOrder"), integer, QStringLiteral("createdAt"), true}}},
        {QStringLiteral("pinboards"),
         {{QStringLiteral("id"), id},
          {QStringLiteral("dedupID"), requiredText, kNewUUID},
          {QStringLiteral("name"), requiredText},
          {QStringLiteral("colorName"), requiredText},
          {QStringLiteral("iconName"), requiredText},
          {QStringLiteral("sortOrder"), requiredZero},
          {QStringLiteral("createdAt"), requiredZero},
          {QStringLiteral("lockSalt"), requiredText},
          {QStringLiteral("lockHash"), requiredText},
          {QStringLiteral("modifiedAt"), integer}}},
        {QStringLiteral("app_settings"),
         {{QStringLiteral("id"), id},
          {QStringLiteral("recordID"), requiredText, kNewUUID},
          {QStringLiteral("historyLimitValue"), requiredZero},
          {QStringLiteral("updatedAt"), requiredZero},
          {QStringLiteral("modifiedAt"), integer}}},
        {QStringLiteral("source_app_brands"),
         {{QStringLiteral("id"), id},
          {QStringLiteral("recordID"), requiredText, kNewUUID},
          {QStringLiteral("bundleID"), requiredText},
          {QStringLiteral("appName"), requiredText},
          {QStringLiteral("colorHex"), requiredText},
          {QStringLiteral("iconPNG"), QStringLiteral("BLOB")},
          {QStringLiteral("updatedAt"), requiredZero},
          {QStringLiteral("modifiedAt"), integer}}},
        {QStringLiteral("deletions"),
         {{QStringLiteral("entity"), requiredText},
          {QStringLiteral("recordID"), requiredText},
          {QStringLiteral("deletedAt"), requiredZero}}},
    };
}

bool run(QSqlQuery &q, const QString &sql, QSqlError *error)
{
    if (q.exec(sql))
        return true;
    *error = q.lastError();
    return false;
}

// 0 -> 1: a new store, or one from before the version was kept, which may lack tables or columns.
bool createVersion1(QSqlQuery &q, QSqlError *error, Rows rows = Rows::now)
{
    const std::vector<Table> tables = version1Tables();
    for (const Table &table : tables) {
        QStringList columns;
        for (const Column &column : table.columns)
            columns << column.name + QLatin1Char(' ') + column.definition;
        if (!run(
                q,
                QStringLiteral("CREATE TABLE IF NOT EXISTS %1(%2)").arg(table.name, columns.join(QStringLiteral(", "))),
                error))
            return false;
    }
    for (const Table &table : tables) {
        QStringList present;
        if (!run(q, QStringLiteral("PRAGMA table_info(%1)").arg(table.name), error))
            return false;
        while (q.next())
            present << q.value(1).toString();
        q.finish();
        for (const Column &column : table.columns) {
            if (present.contains(column.name, Qt::CaseInsensitive))
                continue;
            if (column.definition.contains(QLatin1String("PRIMARY KEY"))) {
                // Without its key the table cannot be read, let alone repaired.
                *error = QSqlError(QStringLiteral("Table %1 has no %2 column").arg(table.name, column.name), QString(),
                                   QSqlError::StatementError, QStringLiteral("11"));
                return false;
            }
            if (!run(q,
                     QStringLiteral("ALTER TABLE %1 ADD COLUMN %2 %3").arg(table.name, column.name, column.definition),
                     error))
                return false;
            if (!column.fill.isEmpty() && !(column.fillLater && rows == Rows::later)
                && !run(q, QStringLiteral("UPDATE %1 SET %2 = %3").arg(table.name, column.name, column.fill), error))
                return false;
        }
    }
    return true;
}

// 1 -> 2: clips are read by question, not all at start; these answer the questions asked often.
// The indexes by date, hash and identity this step once made are made by step 3 -> 4 in their
// present form; made here they would only be dropped again, leaving free pages behind.
bool indexClipQuestions(QSqlQuery &q, QSqlError *error)
{
    const char *const statements[] = {
        "CREATE INDEX IF NOT EXISTS clips_by_page ON clips(pinboardID) WHERE pinboardID IS NOT NULL",
        "CREATE INDEX IF NOT EXISTS clips_expiring ON clips(expiresAt) WHERE expiresAt IS NOT NULL",
    };
    for (const char *sql : statements)
        if (!run(q, QString::fromLatin1(sql), error))
            return false;
    return true;
}

bool ensureClipKeyIndexes(QSqlQuery &q, QSqlError *error)
{
    const char *const statements[] = {
        // Every index ends in the row id: ordered by (createdAt, id) without holding id twice.
        "CREATE INDEX IF NOT EXISTS clips_by_created_at ON clips(createdAt)",
        "CREATE INDEX IF NOT EXISTS clips_by_hash_key ON clips(hashKey)",
        "CREATE INDEX IF NOT EXISTS clips_by_dedup_key ON clips(substr(dedupID, 1, 3))",
        "CREATE INDEX IF NOT EXISTS clips_kept ON clips(createdAt, isPinned, pinboardID, isSavedToPage)"
        " WHERE isPinned != 0 OR pinboardID IS NOT NULL OR isSavedToPage != 0",
    };
    for (const char *sql : statements)
        if (!run(q, QString::fromLatin1(sql), error))
            return false;
    return true;
}

// 2 -> 3: the sync bookkeeping, which the sync engine used to add on its first start; a store it
// already has them in keeps them as they are.
bool keepSyncBookkeeping(QSqlQuery &q, QSqlError *error)
{
    return run(q,
               QStringLiteral(
                   "CREATE TABLE IF NOT EXISTS sync_versions(recordID TEXT PRIMARY KEY, entity TEXT NOT NULL,"
                   " modifiedAt INTEGER NOT NULL, device TEXT NOT NULL, localModifiedAt INTEGER NOT NULL,"
                   " deleted INTEGER NOT NULL)"),
               error)
        && run(q, QStringLiteral("CREATE TABLE IF NOT EXISTS sync_meta(key TEXT PRIMARY KEY, value TEXT NOT NULL)"),
               error);
}

bool hasColumn(QSqlQuery &q, const QString &table, const QString &column, QSqlError *error, bool *has)
{
    if (!run(q, QStringLiteral("PRAGMA table_info(%1)").arg(table), error))
        return false;
    *has = false;
    while (q.next())
        *has = *has || q.value(1).toString().compare(column, Qt::CaseInsensitive) == 0;
    q.finish();
    return true;
}

// Gives the rows `where` finds their clip keys in binary (see ClipKeys), a batch at a time in row
// order; a batch is read whole before any of it is written.
bool convertClipKeys(QSqlQuery &q, const QString &where, QSqlError *error, bool inBatches = true)
{
    const int batch = inBatches ? 2000 : std::numeric_limits<int>::max();
    struct Row {
        qint64 id;
        QVariant dedupID, contentHash;
        qint32 hashKey;
    };
    // In batches by row id, or at once where only an index finds the rows (an order by id would not use it).
    const QString select =
        QStringLiteral("SELECT id, dedupID, contentHash, kind, text, fileName, fileTypeIdentifier,"
                       " imageSize, fileSize, hashKey FROM clips WHERE %1")
            .arg(inBatches ? QStringLiteral("id > ? AND (%1) ORDER BY id LIMIT %2").arg(where).arg(batch) : where);
    // Same type and value: a text and a blob of the same bytes differ.
    const auto same = [](const QVariant &a, const QVariant &b) { return a.typeId() == b.typeId() && a == b; };
    for (qint64 after = -1;;) {
        std::vector<Row> rows;
        size_t read = 0;
        if (!q.prepare(select)) {
            *error = q.lastError();
            return false;
        }
        if (inBatches)
            q.bindValue(0, after);
        if (!q.exec()) {
            *error = q.lastError();
            return false;
        }
        while (q.next()) {
            const QVariant id = q.value(1);
            // An identity not in the form this program writes stays as it is.
            const QUuid uuid = ClipKeys::dedupIDFrom(id);
            const bool canonical = id.typeId() == QMetaType::QByteArray || uuidText(uuid) == id.toString();
            const ClipKeys::HashSource source{q.value(3).toString(), optionalText(q.value(4)), optionalText(q.value(5)),
                                              optionalText(q.value(6)),
                                              q.value(7).toLongLong() > 0 || q.value(8).toLongLong() > 0};
            const QString hash = ClipKeys::contentHashFrom(q.value(2), source);
            Row row{q.value(0).toLongLong(), canonical ? ClipKeys::dedupID(uuid) : id,
                    ClipKeys::contentHash(hash, source), ClipKeys::contentHashKey(hash)};
            ++read;
            after = row.id;
            // Identities kept as text are found again at each start; a row already as it would be
            // written is left alone.
            if (!same(row.dedupID, id) || !same(row.contentHash, q.value(2)) || q.value(9).isNull()
                || q.value(9).toLongLong() != row.hashKey)
                rows.push_back(std::move(row));
        }
        q.finish();
        if (!rows.empty()
            && !q.prepare(QStringLiteral("UPDATE clips SET dedupID = ?, contentHash = ?, hashKey = ? WHERE id = ?"))) {
            *error = q.lastError();
            return false;
        }
        for (const Row &row : rows)
            if (!execWith(q, {row.dedupID, row.contentHash, row.hashKey, row.id}, error))
                return false;
        if (read < size_t(batch))
            return true;
    }
}

// 3 -> 4: clip rows and their indexes made compact: identities and hashes in binary, found by a
// short key (see ClipKeys). The unkept clips were all clips but a few, and had an index of their
// own beside the one of all clips by date; now the few kept ones have it.
bool compactClipKeys(QSqlQuery &q, QSqlError *error)
{
    const char *const drop[] = {
        "DROP INDEX IF EXISTS clips_by_hash",
        "DROP INDEX IF EXISTS clips_by_dedup_id",
        "DROP INDEX IF EXISTS clips_unkept",
        "DROP INDEX IF EXISTS clips_by_date",
    };
    for (const char *sql : drop)
        if (!run(q, QString::fromLatin1(sql), error))
            return false;
    bool hasKey = false;
    if (!hasColumn(q, QStringLiteral("clips"), QStringLiteral("hashKey"), error, &hasKey)
        || (!hasKey && !run(q, QStringLiteral("ALTER TABLE clips ADD COLUMN hashKey INTEGER"), error)))
        return false;
    // The indexes come after the rows: built in order, their pages are full.
    return convertClipKeys(q, QStringLiteral("hashKey IS NULL OR typeof(dedupID) != 'blob'"), error)
        && ensureClipKeyIndexes(q, error);
}

// At each start of a store of version 4 or later: a key column or index lost since comes back,
// and rows without their keys (an older tool wrote them) gain them. Both finds use an index; a
// start without room for them leaves them to the next (a row without its key is read all the same).
bool keepClipKeys(QSqlQuery &q, QSqlError *error, Rows rows)
{
    bool hasKey = false;
    if (!hasColumn(q, QStringLiteral("clips"), QStringLiteral("hashKey"), error, &hasKey)
        || (!hasKey && !run(q, QStringLiteral("ALTER TABLE clips ADD COLUMN hashKey INTEGER"), error)))
        return false;
    // Every text sorts before every blob.
    return ensureClipKeyIndexes(q, error)
        && (rows == Rows::later
            || (convertClipKeys(q, QStringLiteral("hashKey IS NULL"), error)
                && convertClipKeys(q, QStringLiteral("substr(dedupID, 1, 3) < x''"), error, false)));
}

// 4 -> 5: the clips' search keys live in the store, so a search holds no copy of the history; the
// rows already there get theirs after the start (StoreSearchKeys::fillSlice).
// 5 -> 6: the keys are ordered by their clips' dates (the same call moves them).
bool keepSearchKeys(QSqlQuery &q, QSqlError *error)
{
    return StoreSearchKeys::createTable(q, error);
}

// At every start. An older release dates each copy it makes, new or made again, above the history
// and leaves the capture order alone: the newest clips by date whose order is missing (no number,
// or below their date) were captured after every other, in the order of their dates. A clip found
// so elsewhere (a tool wrote it) comes after them. Each is given what a capture gives (see
// ClipStore::markCaptured): its date, but above the order before it. So an order given is never
// below its date, and a later start finds none of them missing again.
const QString kMissingOrder =
    QStringLiteral("(captureOrder IS NULL OR captureOrder >= '' OR captureOrder < createdAt - %1)")
        .arg(ClipItem::captureDateLeadMs);
// Numbers sort before texts and blobs: the find uses the index.
const QString kNoOrder = QStringLiteral("(captureOrder IS NULL OR captureOrder >= '')");

// The orders still to give, kept in the store while the capture order fill gives them after the
// start, so that the copies made meanwhile, or a start cut short, change neither which clips are
// given one nor what.
const QString kCaptureOrderFillTable = QStringLiteral("capture_order_fill");

struct CaptureOrderFill {
    // The newest clip by date whose order stands (createdAt, id); clips dated after it have none.
    std::optional<std::pair<qint64, qint64>> after;
    // Clips written after the fill began are not the older release's.
    qint64 lastID = 0;
    // The last order given, or the highest found.
    qint64 lastOrder = 0;
};

bool first(QSqlQuery &q, const QString &sql, QSqlError *error, bool *found)
{
    if (!run(q, sql, error))
        return false;
    *found = q.next();
    return true;
}

// What a fill kept in the store says, or one begun from what the store holds now.
bool planCaptureOrderFill(QSqlQuery &q, CaptureOrderFill *fill, bool *kept, QSqlError *error)
{
    bool found = false;
    if (!first(q,
               QStringLiteral("SELECT count(*) FROM sqlite_schema WHERE type = 'table' AND name = '%1'")
                   .arg(kCaptureOrderFillTable),
               error, &found))
        return false;
    *kept = q.value(0).toInt() > 0;
    q.finish();
    if (*kept) {
        if (!first(
                q,
                QStringLiteral("SELECT afterCreatedAt, afterID, lastID, lastOrder FROM %1").arg(kCaptureOrderFillTable),
                error, &found))
            return false;
        *kept = found;
        if (found) {
            if (!q.value(0).isNull())
                fill->after = {{q.value(0).toLongLong(), q.value(1).toLongLong()}};
            fill->lastID = q.value(2).toLongLong();
            fill->lastOrder = q.value(3).toLongLong();
        }
        q.finish();
        if (found)
            return true;
    }
    // The walk down the dates stops at the first clip whose order stands.
    if (!first(q,
               QStringLiteral("SELECT createdAt, id FROM clips WHERE NOT %1 ORDER BY createdAt DESC, id DESC LIMIT 1")
                   .arg(kMissingOrder),
               error, &found))
        return false;
    if (found)
        fill->after = {{q.value(0).toLongLong(), q.value(1).toLongLong()}};
    q.finish();
    if (!first(q, QStringLiteral("SELECT max(id) FROM clips"), error, &found))
        return false;
    fill->lastID = q.value(0).toLongLong();
    q.finish();
    // A number past the range (a tool wrote it) counts as its end.
    if (!first(q, QStringLiteral("SELECT CAST(max(captureOrder) AS INTEGER) FROM clips WHERE captureOrder < ''"), error,
               &found))
        return false;
    fill->lastOrder = std::max<qint64>(0, q.value(0).toLongLong());
    q.finish();
    return true;
}

// Gives up to `maxRows` clips of `fill` (all, when negative) their order: first those dated after
// the clip whose order stands, then those elsewhere without one. `*done` once none is left.
bool giveCaptureOrders(QSqlQuery &q, CaptureOrderFill &fill, qint64 maxRows, bool *done, QSqlError *error)
{
    *done = false;
    for (int phase = 0; phase < 2; ++phase) {
        // As a row value, the range the index of dates answers.
        const QString after = fill.after
            ? QStringLiteral("(createdAt, id) > (%1, %2)").arg(fill.after->first).arg(fill.after->second)
            : QStringLiteral("1");
        // Those dated after it are found by the index of dates, the others by the one of orders:
        // neither walks the rows in between, as a start reads no more of the store than it needs.
        const QString pending = QStringLiteral("+id <= %1 AND %2")
                                    .arg(fill.lastID)
                                    .arg(phase == 0 ? QStringLiteral("%1 AND %2").arg(after, kMissingOrder)
                                                    : QStringLiteral("NOT (%1) AND %2").arg(after, kNoOrder));
        if (!run(q,
                 QStringLiteral("SELECT id, createdAt FROM clips WHERE %1 ORDER BY %2createdAt, id LIMIT %3")
                     .arg(pending, phase == 0 ? QString() : QStringLiteral("+"))
                     .arg(maxRows),
                 error))
            return false;
        // Most of those dated after it take their date, written at once below; the others (dates
        // shared, or below the order before them) one by one.
        std::vector<std::pair<qint64, qint64>> others;
        // The last read, and the last dated by a whole number (dates of other types sort after them).
        std::optional<std::pair<qint64, qint64>> last;
        std::pair<qint64, qint64> lastWhole{0, 0};
        bool anyWhole = false;
        qint64 order = fill.lastOrder, count = 0;
        while (q.next()) {
            const qint64 id = q.value(0).toLongLong(), date = q.value(1).toLongLong();
            const bool whole = q.value(1).typeId() == QMetaType::LongLong;
            // An order at the end of the range is shared rather than wrapped.
            order = std::max(order + (order < std::numeric_limits<qint64>::max()), date);
            if (order != date || !whole || phase == 1)
                others.emplace_back(id, order);
            last = {{date, id}};
            if (whole) {
                lastWhole = {date, id};
                anyWhole = true;
            }
            ++count;
        }
        q.finish();
        if (!last)
            continue;
        if (!others.empty() && !q.prepare(QStringLiteral("UPDATE clips SET captureOrder = ? WHERE id = ?"))) {
            *error = q.lastError();
            return false;
        }
        for (const auto &[id, given] : others)
            if (!execWith(q, {given, id}, error))
                return false;
        // The others have theirs now, so they are no longer found.
        if (anyWhole && phase == 0
            && !run(q,
                    QStringLiteral("UPDATE clips SET captureOrder = createdAt WHERE %1 AND (createdAt, id) <= (%2, %3)")
                        .arg(pending)
                        .arg(lastWhole.first)
                        .arg(lastWhole.second),
                    error))
            return false;
        if (phase == 0)
            fill.after = last;
        fill.lastOrder = order;
        // A full slice may have left more.
        if (maxRows >= 0 && count >= maxRows)
            return true;
    }
    *done = true;
    return true;
}

bool keepCaptureOrderFill(QSqlQuery &q, const CaptureOrderFill &fill, bool done, QSqlError *error)
{
    if (done)
        return run(q, QStringLiteral("DROP TABLE IF EXISTS %1").arg(kCaptureOrderFillTable), error);
    return run(q,
               QStringLiteral("CREATE TABLE IF NOT EXISTS %1(afterCreatedAt INTEGER, afterID INTEGER,"
                              " lastID INTEGER NOT NULL, lastOrder INTEGER NOT NULL)")
                   .arg(kCaptureOrderFillTable),
               error)
        && run(q, QStringLiteral("DELETE FROM %1").arg(kCaptureOrderFillTable), error)
        && run(q,
               QStringLiteral("INSERT INTO %1 VALUES(%2, %3, %4, %5)")
                   .arg(kCaptureOrderFillTable,
                        fill.after ? QString::number(fill.after->first) : QStringLiteral("NULL"),
                        fill.after ? QString::number(fill.after->second) : QStringLiteral("NULL"))
                   .arg(fill.lastID)
                   .arg(fill.lastOrder),
               error);
}

const QString kOrderIndex = QStringLiteral("CREATE INDEX IF NOT EXISTS clips_by_capture ON clips(captureOrder)");

bool keepCaptureOrder(QSqlQuery &q, QSqlError *error, Rows rows)
{
    CaptureOrderFill fill;
    bool kept = false;
    if (!planCaptureOrderFill(q, &fill, &kept, error))
        return false;
    // Kept for after the start: a few pages. The index follows the orders (the capture order fill).
    if (rows == Rows::later)
        return kept || keepCaptureOrderFill(q, fill, false, error);
    bool done = false;
    return run(q, kOrderIndex, error) && giveCaptureOrders(q, fill, -1, &done, error)
        && (!kept || keepCaptureOrderFill(q, fill, true, error));
}

using Step = bool (*)(QSqlQuery &q, QSqlError *error);

// Step n brings a store from version n to n + 1. A schema change is one more step at the end.
constexpr Step kSteps[] = {
    [](QSqlQuery &q, QSqlError *error) { return createVersion1(q, error); },
    indexClipQuestions,
    keepSyncBookkeeping,
    compactClipKeys,
    keepSearchKeys,
    keepSearchKeys,
};

} // namespace

int currentVersion()
{
    return int(std::size(kSteps));
}

bool rewriteAfterMigrating(int fromVersion)
{
    // The move to binary keys frees about a third of the file; a new store has nothing to free.
    return fromVersion > 0 && fromVersion < 4;
}

bool mostlyFree(QSqlDatabase &db)
{
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("PRAGMA freelist_count")) || !q.next())
        return false;
    const qint64 free = q.value(0).toLongLong();
    if (!q.exec(QStringLiteral("PRAGMA page_count")) || !q.next())
        return false;
    const qint64 pages = q.value(0).toLongLong();
    // A quarter: below it a rewrite costs a start more than the space is worth.
    return pages > 0 && free * 4 > pages;
}

std::vector<StoredColumn> storedColumns(const ModelContext &context, Entity entity)
{
    std::vector<StoredColumn> columns;
    QSqlQuery q(context.database());
    if (!q.exec(QStringLiteral("PRAGMA table_info(%1)").arg(StoreRows::of(entity).table)))
        return columns;
    const QSqlRecord record = q.record();
    const int name = record.indexOf(QStringLiteral("name"));
    const int type = record.indexOf(QStringLiteral("type"));
    while (q.next())
        columns.push_back({q.value(name).toString(), q.value(type).toString()});
    return columns;
}

bool migrate(QSqlDatabase &db, int fromVersion, Rows rows, QSqlError *error)
{
    QSqlQuery q(db);
    // A store of a known version that lost a column (a tool, an older build) gains it back rather
    // than being moved aside: the first step adds whatever is missing and keeps every row.
    if (fromVersion >= 1 && !createVersion1(q, error, rows))
        return false;
    // Sync used to add its tables again at each start; a store that lost them gains them back.
    if (fromVersion >= 3 && !keepSyncBookkeeping(q, error))
        return false;
    // A key column lost since is added back and filled; rows an older tool wrote gain their keys.
    if (fromVersion >= 4 && !keepClipKeys(q, error, rows))
        return false;
    // A key table lost since comes back, and is filled again after the start.
    if (fromVersion >= 5 && !keepSearchKeys(q, error))
        return false;
    for (int version = std::max(0, fromVersion); version < currentVersion(); ++version) {
        if (!kSteps[version](q, error))
            return false;
    }
    // Not a step of its own: a store the previous release can still open keeps its version.
    if (!keepCaptureOrder(q, error, rows))
        return false;
    if (fromVersion > 0 && fromVersion < currentVersion())
        qCInfo(lcPersistence, "Moved the store from schema %d to %d", fromVersion, currentVersion());
    return true;
}

bool captureOrderFillSlice(QSqlDatabase &db, int maxRows, bool *done, QSqlError *error)
{
    *done = false;
    QSqlQuery q(db);
    // BEGIN and COMMIT as queries of their own, which keep SQLite's error code.
    QSqlQuery control(db);
    if (!run(control, QStringLiteral("BEGIN"), error))
        return false;
    CaptureOrderFill fill;
    bool kept = false, given = false;
    const bool ok = planCaptureOrderFill(q, &fill, &kept, error)
        && (kept ? giveCaptureOrders(q, fill, std::max(1, maxRows), &given, error)
                    && keepCaptureOrderFill(q, fill, given, error)
                 : run(q, kOrderIndex, error))
        && run(control, QStringLiteral("COMMIT"), error);
    q.finish();
    if (!ok) {
        control.exec(QStringLiteral("ROLLBACK"));
        return false;
    }
    // Once the orders are all given, the index follows in a transaction of its own.
    *done = !kept;
    return true;
}

} // namespace quillmere::StoreSchema
