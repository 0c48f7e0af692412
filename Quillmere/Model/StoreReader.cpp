#include "Quillmere/Model/StoreReader.h"

#include "Quillmere/Model/ModelContext.h"
#include "Quillmere/Model/StoreDamage.h"
#include "Quillmere/Model/StoreRows.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

namespace quillmere {

namespace storerow {

StoredHash::StoredHash(QVariant stored, QString kind, std::optional<QString> text, std::optional<QString> fileName,
                       std::optional<QString> fileTypeIdentifier)
    : m_stored(std::move(stored)), m_kind(std::move(kind)), m_text(std::move(text)), m_fileName(std::move(fileName)),
      m_fileTypeIdentifier(std::move(fileTypeIdentifier))
{
}

QString StoredHash::value() const
{
    return ClipKeys::contentHashFrom(m_stored, {m_kind, m_text, m_fileName, m_fileTypeIdentifier});
}

Clip clipFrom(const std::function<QVariant(const char *name)> &c)
{
    const auto text = [&](const char *name) { return c(name).toString(); };
    const auto number = [&](const char *name) { return c(name).toLongLong(); };
    const auto optionalNumber = [&](const char *name) {
        const QVariant v = c(name);
        return v.isNull() ? std::nullopt : std::optional<qint64>(v.toLongLong());
    };
    Clip clip;
    clip.row = number("id");
    clip.dedupID = ClipKeys::dedupIDText(c("dedupID"));
    clip.createdAt = number("createdAt");
    clip.kind = text("kind");
    clip.text = optionalText(c("text"));
    clip.fileName = optionalText(c("fileName"));
    clip.fileTypeIdentifier = optionalText(c("fileTypeIdentifier"));
    clip.customTitle = optionalText(c("customTitle"));
    clip.recognizedText = optionalText(c("recognizedText"));
    clip.sourceAppName = optionalText(c("sourceAppName"));
    clip.sourceAppBundleID = optionalText(c("sourceAppBundleID"));
    clip.isPinned = c("isPinned").toBool();
    clip.contentHash = StoredHash(c("contentHash"), clip.kind, clip.text, clip.fileName, clip.fileTypeIdentifier);
    clip.linkTitle = optionalText(c("linkTitle"));
    clip.expiresAt = optionalNumber("expiresAt");
    clip.pageRow = optionalNumber("pinboardID");
    clip.isSavedToPage = c("isSavedToPage").toBool();
    clip.payloadByteCount = number("payloadByteCount");
    clip.imageSize = number("imageSize");
    clip.fileSize = number("fileSize");
    clip.modifiedAt = number("modifiedAt");
    return clip;
}

QString clipColumns()
{
    return QStringLiteral(
        "c.id, c.dedupID, c.createdAt, c.kind, c.text, c.fileName, c.fileTypeIdentifier, c.customTitle,"
        " c.recognizedText, c.sourceAppName, c.sourceAppBundleID, c.isPinned, c.contentHash, c.linkTitle, c.expiresAt,"
        " c.pinboardID, c.isSavedToPage, c.payloadByteCount, c.imageSize, c.fileSize,"
        " COALESCE(c.modifiedAt, 0) AS modifiedAt");
}

} // namespace storerow

namespace {

// The value of a named column on the row a query stands on; the names are looked up once.
class ByName {
public:
    explicit ByName(const QSqlQuery &q) : m_q(q), m_record(q.record()) {}
    QVariant operator[](const char *name) const
    {
        auto it = m_columns.constFind(name);
        if (it == m_columns.constEnd())
            it = m_columns.insert(name, m_record.indexOf(QLatin1StringView(name)));
        return m_q.value(*it);
    }
    QString text(const char *name) const { return (*this)[name].toString(); }
    qint64 number(const char *name) const { return (*this)[name].toLongLong(); }
    std::optional<qint64> optionalNumber(const char *name) const
    {
        const QVariant v = (*this)[name];
        return v.isNull() ? std::nullopt : std::optional<qint64>(v.toLongLong());
    }

private:
    const QSqlQuery &m_q;
    QSqlRecord m_record;
    mutable QHash<const char *, int> m_columns;
};

storerow::Clip clipOf(const ByName &c)
{
    return storerow::clipFrom([&](const char *name) { return c[name]; });
}

template <typename Row>
bool readAll(QSqlQuery &q, const std::function<void(const QSqlError &)> &failed, const StoreReader::Each<Row> &each,
             Row (*from)(const ByName &), const std::atomic<bool> *stop = nullptr)
{
    if (!q.exec()) {
        failed(q.lastError());
        return false;
    }
    const ByName row(q);
    while (!(stop && stop->load(std::memory_order_relaxed)) && q.next())
        each(from(row));
    // A step that failed part-way ends the loop as the last row does; only the error tells.
    const bool whole = !q.lastError().isValid();
    if (!whole)
        failed(q.lastError());
    q.finish();
    return whole;
}

storerow::SyncVersion syncVersionFrom(const ByName &v)
{
    return {v.text("recordID"),          v.text("entity"),     v.number("modifiedAt"), v.text("device"),
            v.number("localModifiedAt"), v["deleted"].toBool()};
}

} // namespace

bool StoreReader::settingsChangedSince(qint64 since, const Each<storerow::Settings> &each)
{
    QSqlQuery q(m_connection.db());
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT recordID, historyLimitValue, updatedAt, COALESCE(modifiedAt, 0) AS modifiedAt"
                             " FROM app_settings WHERE COALESCE(modifiedAt, 0) >= ?"));
    q.bindValue(0, since);
    return readAll<storerow::Settings>(q, noted(), each, [](const ByName &s) {
        return storerow::Settings{s.text("recordID"), s.number("historyLimitValue"), s.number("updatedAt"),
                                  s.number("modifiedAt")};
    });
}

bool StoreReader::pagesChangedSince(qint64 since, const Each<storerow::Page> &each)
{
    QSqlQuery q(m_connection.db());
    q.setForwardOnly(true);
    q.prepare(
        QStringLiteral("SELECT id, dedupID, name, colorName, iconName, sortOrder, createdAt, lockSalt, lockHash,"
                       " COALESCE(modifiedAt, 0) AS modifiedAt FROM pinboards WHERE COALESCE(modifiedAt, 0) >= ?"));
    q.bindValue(0, since);
    return readAll<storerow::Page>(q, noted(), each, [](const ByName &p) {
        return storerow::Page{p.number("id"),     p.text("dedupID"),     p.text("name"),        p.text("colorName"),
                              p.text("iconName"), p.number("sortOrder"), p.number("createdAt"), p.text("lockSalt"),
                              p.text("lockHash"), p.number("modifiedAt")};
    });
}

bool StoreReader::clipsChangedSince(qint64 since, const Each<storerow::Clip> &each)
{
    QSqlQuery q(m_connection.db());
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT %1, p.dedupID AS pageDedupID FROM clips c LEFT JOIN pinboards p"
                             " ON p.id = c.pinboardID WHERE COALESCE(c.modifiedAt, 0) >= ?")
                  .arg(storerow::clipColumns()));
    q.bindValue(0, since);
    return readAll<storerow::Clip>(q, noted(), each, [](const ByName &c) {
        storerow::Clip clip = clipOf(c);
        clip.pageDedupID = optionalText(c["pageDedupID"]);
        return clip;
    });
}

bool StoreReader::clipsNewestFirst(int batchSize, const Each<storerow::Clip> &each, const std::atomic<bool> *stop)
{
    QSqlQuery q(m_connection.db());
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT %1 FROM clips c ORDER BY c.createdAt DESC, c.id DESC LIMIT ? OFFSET ?")
                  .arg(storerow::clipColumns()));
    for (qint64 offset = 0;; offset += batchSize) {
        q.bindValue(0, batchSize);
        q.bindValue(1, offset);
        int read = 0;
        const bool ok = readAll<storerow::Clip>(
            q, noted(),
            [&](const storerow::Clip &clip) {
                ++read;
                each(clip);
            },
            clipOf, stop);
        if (!ok || (stop && *stop))
            return false;
        if (read < batchSize)
            return true;
    }
}

bool StoreReader::sourceAppNames(const Each<QString> &each)
{
    QSqlQuery q(m_connection.db());
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT DISTINCT sourceAppName FROM clips WHERE sourceAppName IS NOT NULL"));
    return readAll<QString>(q, noted(), each, [](const ByName &c) { return c.text("sourceAppName"); });
}

bool StoreReader::deletionsAfter(qint64 row, const Each<storerow::Deletion> &each)
{
    QSqlQuery q(m_connection.db());
    q.setForwardOnly(true);
    q.prepare(QStringLiteral(
        "SELECT rowid AS row, entity, recordID, deletedAt FROM deletions WHERE rowid > ? ORDER BY rowid"));
    q.bindValue(0, row);
    return readAll<storerow::Deletion>(q, noted(), each, [](const ByName &d) {
        return storerow::Deletion{d.number("row"), d.text("entity"), d.text("recordID"), d.number("deletedAt")};
    });
}

bool StoreReader::syncVersions(const Each<storerow::SyncVersion> &each)
{
    QSqlQuery q(m_connection.db());
    q.setForwardOnly(true);
    q.prepare(
        QStringLiteral("SELECT recordID, entity, modifiedAt, device, localModifiedAt, deleted FROM sync_versions"));
    return readAll<storerow::SyncVersion>(q, noted(), each, syncVersionFrom);
}

bool StoreReader::blob(storerow::Blob kind, qint64 clipRow, std::optional<QByteArray> *bytes)
{
    const QString table = kind == storerow::Blob::image ? QStringLiteral("clip_images") : QStringLiteral("clip_files");
    QSqlQuery q(m_connection.db());
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT data FROM %1 WHERE clipID = ?").arg(table));
    q.bindValue(0, clipRow);
    bytes->reset();
    return readAll<QByteArray>(
        q, noted(), [&](const QByteArray &data) { *bytes = data; },
        [](const ByName &b) { return b["data"].toByteArray(); });
}

SyncBookkeeping::SyncBookkeeping(const ModelContext &context) : m_db(context.database())
{
}

QSqlQuery &SyncBookkeeping::prepared(std::optional<QSqlQuery> &query, const QString &sql) const
{
    if (!query) {
        query.emplace(m_db);
        query->prepare(sql);
    }
    return *query;
}

bool SyncBookkeeping::inTransaction(const std::function<bool()> &writes)
{
    if (m_db.transaction() && writes() && m_db.commit())
        return true;
    m_db.rollback();
    return false;
}

QString SyncBookkeeping::meta(const QString &key) const
{
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("SELECT value FROM sync_meta WHERE key = ?"));
    q.bindValue(0, key);
    return q.exec() && q.next() ? ByName(q).text("value") : QString();
}

bool SyncBookkeeping::setMeta(const QString &key, const QString &value, QString *error)
{
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("INSERT OR REPLACE INTO sync_meta(key, value) VALUES(?, ?)"));
    q.bindValue(0, key);
    q.bindValue(1, value);
    if (q.exec())
        return true;
    if (error)
        *error = q.lastError().text();
    return false;
}

bool SyncBookkeeping::removeMeta(const QStringList &keys)
{
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("DELETE FROM sync_meta WHERE key = ?"));
    bool ok = true;
    for (const QString &key : keys) {
        q.bindValue(0, key);
        ok = q.exec() && ok;
    }
    return ok;
}

bool SyncBookkeeping::versions(const StoreReader::Each<storerow::SyncVersion> &each) const
{
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    q.prepare(
        QStringLiteral("SELECT recordID, entity, modifiedAt, device, localModifiedAt, deleted FROM sync_versions"));
    QString error;
    const auto failed = [&](const QSqlError &e) {
        error = e.text();
        StoreDamage::detector().report(m_db.databaseName(), e);
    };
    return readAll<storerow::SyncVersion>(q, failed, each, syncVersionFrom);
}

bool SyncBookkeeping::putVersion(const storerow::SyncVersion &v, QString *error)
{
    QSqlQuery &q = prepared(m_putVersion,
                            QStringLiteral("INSERT OR REPLACE INTO sync_versions(recordID, entity,"
                                           " modifiedAt, device, localModifiedAt, deleted)"
                                           " VALUES(?, ?, ?, ?, ?, ?)"));
    q.bindValue(0, v.recordID);
    q.bindValue(1, v.entity);
    q.bindValue(2, v.modifiedAt);
    q.bindValue(3, v.device);
    q.bindValue(4, v.localModifiedAt);
    q.bindValue(5, v.deleted ? 1 : 0);
    if (q.exec())
        return true;
    if (error)
        *error = q.lastError().text();
    return false;
}

QHash<QString, qint64> SyncBookkeeping::latestDeletions() const
{
    QHash<QString, qint64> latest;
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    if (q.exec(QStringLiteral("SELECT recordID, MAX(deletedAt) AS deletedAt FROM deletions GROUP BY recordID"))) {
        const ByName d(q);
        while (q.next())
            latest.insert(d.text("recordID"), d.number("deletedAt"));
    }
    return latest;
}

std::optional<qint64> SyncBookkeeping::latestDeletion(const QString &recordID) const
{
    QSqlQuery &q = prepared(m_latestDeletion,
                            QStringLiteral("SELECT MAX(deletedAt) AS deletedAt FROM deletions WHERE recordID = ?"));
    q.bindValue(0, recordID);
    std::optional<qint64> latest;
    if (q.exec() && q.next())
        latest = ByName(q).optionalNumber("deletedAt");
    q.finish();
    return latest;
}

} // namespace quillmere
