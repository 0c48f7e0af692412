#pragma once

#include "Quillmere/Model/ReadConnection.h"

#include <QByteArray>
#include <QHash>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <atomic>
#include <functional>
#include <optional>
#include <vector>

namespace quillmere {

// The rows of the store as other libraries read them, field by field and by name.
namespace storerow {

// A clip's hash as the row holds it. Most rows hold none, and the clip's words give it back at a
// cost near that of reading the rest of the row: only readers that use it pay for it.
class StoredHash {
public:
    StoredHash() = default;
    StoredHash(QString hash) : m_stored(std::move(hash)) {}
    StoredHash(QVariant stored, QString kind, std::optional<QString> text, std::optional<QString> fileName,
               std::optional<QString> fileTypeIdentifier);

    QString value() const;
    operator QString() const { return value(); }

private:
    QVariant m_stored;
    QString m_kind;
    std::optional<QString> m_text, m_fileName, m_fileTypeIdentifier;
};

struct Settings {
    QString recordID;
    qint64 historyLimitValue = 0;
    qint64 updatedAt = 0;
    qint64 modifiedAt = 0;
};

struct Page {
    qint64 row = 0;
    QString dedupID;
    QString name;
    QString colorName;
    QString iconName;
    qint64 sortOrder = 0;
    qint64 createdAt = 0;
    QString lockSalt;
    QString lockHash;
    qint64 modifiedAt = 0;
};

struct Clip {
    qint64 row = 0;
    QString dedupID;
    qint64 createdAt = 0;
    QString kind;
    std::optional<QString> text;
    std::optional<QString> fileName;
    std::optional<QString> fileTypeIdentifier;
    std::optional<QString> customTitle;
    std::optional<QString> recognizedText;
    std::optional<QString> sourceAppName;
    std::optional<QString> sourceAppBundleID;
    bool isPinned = false;
    StoredHash contentHash;
    std::optional<QString> linkTitle;
    std::optional<qint64> expiresAt;
    std::optional<qint64> pageRow;
    // The dedupID of that Page, when it is still there.
    std::optional<QString> pageDedupID;
    bool isSavedToPage = false;
    qint64 payloadByteCount = 0;
    // -1 for none, as stored.
    qint64 imageSize = -1;
    qint64 fileSize = -1;
    qint64 modifiedAt = 0;
};

struct Deletion {
    qint64 row = 0;
    QString entity;
    QString recordID;
    qint64 deletedAt = 0;
};

// A version of a record that a sync took from another device.
struct SyncVersion {
    QString recordID;
    QString entity;
    qint64 modifiedAt = 0;
    QString device;
    qint64 localModifiedAt = 0;
    bool deleted = false;
};

enum class Blob { image, file };

// The columns clipFrom reads, of the clips table named c.
QString clipColumns();
// The clip on a row of clipColumns(), given each column's value by name.
Clip clipFrom(const std::function<QVariant(const char *name)> &column);

} // namespace storerow

// Read-only rows of a store file, for a job on the calling thread (see ReadConnection). Each
// read is false with error() set when the store could not be read; rows seen until then stand.
class StoreReader {
public:
    template <typename Row> using Each = std::function<void(const Row &)>;

    explicit StoreReader(const QString &path) : m_connection(path) {}

    bool isOpen() const { return m_connection.isOpen(); }
    QString error() const { return m_connection.error(); }
    // The last read that failed met damage (see StoreDamage).
    bool metDamage() const { return m_connection.metDamage(); }
    // Every read afterwards sees the store as it was at the first of them.
    bool beginSnapshot() { return m_connection.beginReadTransaction(); }

    // Rows whose modifiedAt (none counts as 0) is at least `since`.
    bool settingsChangedSince(qint64 since, const Each<storerow::Settings> &each);
    bool pagesChangedSince(qint64 since, const Each<storerow::Page> &each);
    bool clipsChangedSince(qint64 since, const Each<storerow::Clip> &each);
    // Every clip, newest first, read `batchSize` rows at a time. Fills no pageDedupID. Ends early,
    // giving false, once `stop` is set.
    bool clipsNewestFirst(int batchSize, const Each<storerow::Clip> &each, const std::atomic<bool> *stop = nullptr);
    // The connection, for reads of other parts of the model (StoreSearchKeys).
    QSqlDatabase database() const { return m_connection.db(); }
    // Each distinct source-application name of the clips, as stored (untrimmed), in no order.
    // Answered by the index of names.
    bool sourceAppNames(const Each<QString> &each);
    bool deletionsAfter(qint64 row, const Each<storerow::Deletion> &each);
    bool syncVersions(const Each<storerow::SyncVersion> &each);
    // The bytes kept for a clip row; none when the clip has none (or went).
    bool blob(storerow::Blob kind, qint64 clipRow, std::optional<QByteArray> *bytes);

private:
    // Where a read's failure goes.
    std::function<void(const QSqlError &)> noted()
    {
        return [this](const QSqlError &error) { m_connection.noteError(error); };
    }

    ReadConnection m_connection;
};

class ModelContext;

// The sync bookkeeping tables on the store's own connection (main thread). Writes join the
// caller's transaction when there is one (see ModelContext::save's beforeCommit).
class SyncBookkeeping {
public:
    explicit SyncBookkeeping(const ModelContext &context);

    // Runs `writes` in a transaction of its own, kept only when they all succeeded.
    bool inTransaction(const std::function<bool()> &writes);

    // Empty when the key has no value.
    QString meta(const QString &key) const;
    bool setMeta(const QString &key, const QString &value, QString *error = nullptr);
    bool removeMeta(const QStringList &keys);
    bool versions(const StoreReader::Each<storerow::SyncVersion> &each) const;
    bool putVersion(const storerow::SyncVersion &version, QString *error = nullptr);
    // The latest deletion the store logged of each record.
    QHash<QString, qint64> latestDeletions() const;
    std::optional<qint64> latestDeletion(const QString &recordID) const;

private:
    // Prepared once for the many rows of an import.
    QSqlQuery &prepared(std::optional<QSqlQuery> &query, const QString &sql) const;

    QSqlDatabase m_db;
    mutable std::optional<QSqlQuery> m_putVersion;
    mutable std::optional<QSqlQuery> m_latestDeletion;
};

} // namespace quillmere
