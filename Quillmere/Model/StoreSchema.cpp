#include "Quillmere/Model/StoreSchema.h"

#include "Quillmere/Model/ModelContext.h"
#include "Quillmere/Model/StoreRows.h"
#include "Quillmere/Platform/Core/Logging.h"

#include <QSqlQuery>
#include <QSqlRecord>
#include <QStringList>
#include <iterator>
#include <vector>

namespace quillmere::StoreSchema {
namespace {

struct Column {
    QString name;
    // Required columns carry a DEFAULT, so that a store that lacks them can gain them.
    QString definition;
    // What the rows of such a store get instead of the DEFAULT.
    QString fill = {};
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
          {QStringLiteral("modifiedAt"), integer}}},
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
bool createVersion1(QSqlQuery &q, QSqlError *error)
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
            if (!column.fill.isEmpty()
                && !run(q, QStringLiteral("UPDATE %1 SET %2 = %3").arg(table.name, column.name, column.fill), error))
                return false;
        }
    }
    return true;
}

// 1 -> 2: clips are read by question, not all at start; these answer the questions asked often.
bool indexClipQuestions(QSqlQuery &q, QSqlError *error)
{
    const char *const statements[] = {
        "CREATE INDEX IF NOT EXISTS clips_by_date ON clips(createdAt, id)",
        "CREATE INDEX IF NOT EXISTS clips_by_hash ON clips(contentHash)",
        "CREATE INDEX IF NOT EXISTS clips_by_dedup_id ON clips(dedupID)",
        "CREATE INDEX IF NOT EXISTS clips_by_page ON clips(pinboardID) WHERE pinboardID IS NOT NULL",
        "CREATE INDEX IF NOT EXISTS clips_expiring ON clips(expiresAt) WHERE expiresAt IS NOT NULL",
        // The clips pruning may take: kept small by the history limit, and holding what the
        // question asks, so that counting them never reads a row.
        "CREATE INDEX IF NOT EXISTS clips_unkept ON clips(createdAt, id, isPinned, pinboardID, isSavedToPage)"
        " WHERE isPinned = 0 AND pinboardID IS NULL AND isSavedToPage = 0",
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

using Step = bool (*)(QSqlQuery &q, QSqlError *error);

// Step n brings a store from version n to n + 1. A schema change is one more step at the end.
constexpr Step kSteps[] = {
    createVersion1,
    indexClipQuestions,
    keepSyncBookkeeping,
};

} // namespace

int currentVersion()
{
    return int(std::size(kSteps));
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

bool migrate(QSqlDatabase &db, int fromVersion, QSqlError *error)
{
    QSqlQuery q(db);
    // A store of a known version that lost a column (a tool, an older build) gains it back rather
    // than being moved aside: the first step adds whatever is missing and keeps every row.
    if (fromVersion >= 1 && !createVersion1(q, error))
        return false;
    // Sync used to add its tables again at each start; a store that lost them gains them back.
    if (fromVersion >= 3 && !keepSyncBookkeeping(q, error))
        return false;
    for (int version = std::max(0, fromVersion); version < currentVersion(); ++version) {
        if (!kSteps[version](q, error))
            return false;
    }
    if (fromVersion > 0 && fromVersion < currentVersion())
        qCInfo(lcPersistence, "Moved the store from schema %d to %d", fromVersion, currentVersion());
    return true;
}

} // namespace quillmere::StoreSchema
