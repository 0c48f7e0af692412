#pragma once

#include "Quillmere/Model/Records.h"

#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QVariantList>
#include <array>
#include <functional>
#include <optional>
#include <vector>

struct sqlite3;

namespace quillmere {

// The Page stored under a row id, for a clip read from its row.
using PageLookup = std::function<PageRef(qint64 row)>;

// One stored field of a record: its column, how the stored value is read into the record and how
// the record's value is bound for writing.
struct StoreField {
    QString column;
    std::function<void(PersistentModel &, const QVariant &, const PageLookup &)> read;
    std::function<QVariant(const PersistentModel &)> bind;
    // Covered by an index: a row updated in place sets it only when it changed.
    bool indexed = false;
};

// Bytes kept in a table of their own, keyed by the record's row id, and loaded on first read.
struct StoreBlob {
    QString table;
    LazyBlob &(*of)(PersistentModel &);
};

// How the records of one entity sit in the store. Each row is "id", the fields, "modifiedAt".
struct EntityRows {
    Entity entity;
    QString name;
    QString table;
    std::vector<StoreField> fields;
    std::vector<StoreBlob> blobs;
    // Rows load when a question asks for them rather than all at start.
    bool loadedWhenAsked = false;
    // Other records name these by row id: written and read back before the others.
    bool referencedByRow = false;
    // Rows are many and indexed: a changed record updates its row rather than replacing it.
    bool updatedInPlace = false;
    std::shared_ptr<PersistentModel> (*make)() = nullptr;
    // The id that names a record across stores (for the deletions a later sync layer reads).
    QUuid (*stableID)(const PersistentModel &) = nullptr;

    // "id, field..., modifiedAt".
    QString columns() const;
    QString selectAll() const { return QStringLiteral("SELECT %1 FROM %2").arg(columns(), table); }
    // Reads the fields of the row `q` stands on (selected by columns()) through the record's setters.
    void read(const QSqlQuery &q, PersistentModel &record, const PageLookup &pages) const;
    // The values for columns(), in order.
    QVariantList values(const PersistentModel &record, qint64 rowID, qint64 modifiedAt) const;
    int modifiedAtColumn() const { return int(fields.size()) + 1; }
};

class StoreRows {
public:
    static const EntityRows &of(Entity entity);
    static const EntityRows &of(const PersistentModel &record) { return of(record.entity()); }
    static constexpr std::array<Entity, 4> entities{Entity::clip, Entity::page, Entity::settings, Entity::brand};

private:
    static EntityRows clips();
    static EntityRows pages();
    static EntityRows settings();
    static EntityRows brands();
};

// The clip columns that find clips, kept in binary: a dedupID in 16 bytes, a content hash in 32 or,
// when the clip's own words give it, in none. Texts that are not in their canonical form stay as
// they are, so every value reads back as it was written. Converted here and nowhere else.
namespace ClipKeys {

// What a clip's content hash is computed from, as its row keeps it.
struct HashSource {
    QString kindRawValue;
    std::optional<QString> text;
    std::optional<QString> fileName;
    std::optional<QString> fileTypeIdentifier;
    // Image or file bytes, which the row does not hold.
    bool hasBytes = false;
};

QVariant dedupID(const QUuid &id);
QUuid dedupIDFrom(const QVariant &stored);
// The text form (sync records, backups).
QString dedupIDText(const QVariant &stored);
// What the index of dedupIDs holds: a few leading bytes, enough to find one among millions.
QString dedupIDCondition();
QVariantList dedupIDValues(const QUuid &id);

QVariant contentHash(const QString &hash, const HashSource &source);
QString contentHashFrom(const QVariant &stored, const HashSource &source);
// A hash the row does not keep: its content gives it (see contentHashFrom).
bool isHashFromContent(const QVariant &stored);
// The indexed key of a hash; a few hashes may share one, so a match is checked in full.
qint32 contentHashKey(const QString &hash);

} // namespace ClipKeys

// Values as the store keeps them.
std::optional<QString> optionalText(const QVariant &v);
std::optional<QDateTime> optionalDate(const QVariant &v);
QVariant dateValue(const QDateTime &date);
// The SQLite primary result code of an error, or -1.
int sqliteCode(const QSqlError &error);
QString describe(const QSqlError &error);
// SQLite's own handle of an open connection, for what Qt's statements do not do; null otherwise.
sqlite3 *sqliteHandle(const QSqlDatabase &db);
bool execWith(QSqlQuery &q, const QVariantList &values, QSqlError *error);

} // namespace quillmere
