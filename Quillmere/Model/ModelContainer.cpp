#include "Quillmere/Model/ModelContainer.h"

#include "Quillmere/Model/StoreSchema.h"
#include "Quillmere/Platform/Core/Json.h"
#include "Quillmere/Platform/Core/Logging.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QStandardPaths>
#include <QSqlRecord>
#include <QSet>
#include <algorithm>
#include <atomic>

namespace quillmere {
namespace {

// Blobs above this size are dropped from memory once saved and read again on demand.
constexpr qint64 kKeepBlobInMemoryBytes = 64 * 1024;

QVariant nullText()
{
    return QVariant(QMetaType::fromType<QString>());
}

QVariant textValue(const std::optional<QString> &text)
{
    return text ? QVariant(*text) : nullText();
}

QVariant dateValue(const QDateTime &date)
{
    return QVariant(date.toMSecsSinceEpoch());
}

QVariant dateValue(const std::optional<QDateTime> &date)
{
    return date ? dateValue(*date) : QVariant(QMetaType::fromType<qlonglong>());
}

// For NOT NULL text columns: a null QString binds as SQL NULL, an empty one as ''.
QVariant requiredText(const QString &text)
{
    return text.isNull() ? QVariant(QStringLiteral("")) : QVariant(text);
}

std::optional<QString> optionalText(const QVariant &v)
{
    if (v.isNull())
        return std::nullopt;
    return v.toString();
}

QDateTime dateFrom(const QVariant &v)
{
    return QDateTime::fromMSecsSinceEpoch(v.toLongLong(), Qt::UTC);
}

std::optional<QDateTime> optionalDate(const QVariant &v)
{
    if (v.isNull())
        return std::nullopt;
    return dateFrom(v);
}

int sqliteCode(const QSqlError &error)
{
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok);
    return ok ? (code & 0xff) : -1;
}

QString describe(const QSqlError &error)
{
    return error.text().isEmpty() ? QStringLiteral("unknown database error") : error.text();
}

bool execWith(QSqlQuery &q, const QVariantList &values, QSqlError *error)
{
    for (int i = 0; i < values.size(); ++i)
        q.bindValue(i, values[i]);
    if (q.exec())
        return true;
    *error = q.lastError();
    return false;
}

const QString kClipColumns = QStringLiteral(
    "id, dedupID, createdAt, kind, text, fileName, fileTypeIdentifier, customTitle, recognizedText, sourceAppName,"
    " sourceAppBundleID, isPinned, contentHash, linkTitle, expiresAt, pinboardID, isSavedToPage, payloadByteCount,"
    " imageSize, fileSize, modifiedAt");
const QString kPageColumns =
    QStringLiteral("id, dedupID, name, colorName, iconName, sortOrder, createdAt, lockSalt, lockHash, modifiedAt");
const QString kSettingsColumns = QStringLiteral("id, recordID, historyLimitValue, updatedAt, modifiedAt");
const QString kBrandColumns = QStringLiteral("id, recordID, bundleID, appName, colorHex, iconPNG, updatedAt, modifiedAt");

QString tableOf(const PersistentModel &record)
{
    const QString entity = record.entityName();
    if (entity == QLatin1String("ClipItem"))
        return QStringLiteral("clips");
    if (entity == QLatin1String("Pinboard"))
        return QStringLiteral("pinboards");
    if (entity == QLatin1String("AppSettings"))
        return QStringLiteral("app_settings");
    return QStringLiteral("source_app_brands");
}

QUuid stableID(const PersistentModel &record)
{
    if (auto clip = dynamic_cast<const ClipItem *>(&record))
        return clip->dedupID();
    if (auto page = dynamic_cast<const Pinboard *>(&record))
        return page->dedupID();
    if (auto settings = dynamic_cast<const AppSettings *>(&record))
        return settings->recordID();
    return static_cast<const SourceAppBrand &>(record).recordID();
}

std::atomic<int> g_connectionCounter{0};

constexpr QFile::Permissions kOwnerOnly = QFile::ReadOwner | QFile::WriteOwner;

// The history holds whatever the user copied: its folder and files are for the user alone. SQLite
// gives a new "-wal" and "-shm" the mode of the store file, so a private store keeps them private.
bool makePrivate(const QString &path, QString *error)
{
    const QString folder = QFileInfo(path).absolutePath();
    // A folder made here, or the program's own one, is tightened; a store kept elsewhere (a test's,
    // say) leaves the folder that holds it alone.
    const bool ownFolder = !QFileInfo::exists(folder) || QFileInfo(folder).fileName() == QLatin1String("Quillmere");
    if (!QDir().mkpath(folder)) {
        if (error)
            *error = QStringLiteral("Cannot create %1").arg(folder);
        return false;
    }
    if (ownFolder && !QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
        qCWarning(lcPersistence, "Could not make %s private", qPrintable(folder));
    if (!QFileInfo::exists(path)) {
        // An empty file is an empty database to SQLite; made here, it never has a looser mode.
        QFile store(path);
        if (!store.open(QIODevice::WriteOnly | QIODevice::NewOnly, kOwnerOnly) && !QFileInfo::exists(path)) {
            if (error)
                *error = QStringLiteral("Cannot create %1: %2").arg(path, store.errorString());
            return false;
        }
    }
    for (const QString &file : {path, path + QStringLiteral("-wal"), path + QStringLiteral("-shm")})
        if (QFileInfo::exists(file) && !QFile::setPermissions(file, kOwnerOnly))
            qCWarning(lcPersistence, "Could not make %s private", qPrintable(file));
    return true;
}

} // namespace

ModelContext::ModelContext(QSqlDatabase db, Clock clock) : m_db(std::move(db)), m_clock(std::move(clock)) {}

ModelContext::~ModelContext()
{
    // Records may outlive the context through shared pointers held elsewhere.
    for (auto &[id, live] : m_liveClips)
        if (ClipRef clip = live.lock())
            clip->m_context = nullptr;
    for (auto &[id, page] : m_pages)
        page->m_context = nullptr;
    for (auto &[id, s] : m_settings)
        s->m_context = nullptr;
    for (auto &[id, b] : m_brands)
        b->m_context = nullptr;
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

namespace {

void readClip(const QSqlQuery &q, ClipItem &clip, const std::unordered_map<qint64, PageRef> &pages)
{
    clip.setDedupID(QUuid::fromString(q.value(1).toString()));
    clip.setCreatedAt(dateFrom(q.value(2)));
    clip.setKindRawValue(q.value(3).toString());
    clip.setText(optionalText(q.value(4)));
    clip.setFileName(optionalText(q.value(5)));
    clip.setFileTypeIdentifier(optionalText(q.value(6)));
    clip.setCustomTitle(optionalText(q.value(7)));
    clip.setRecognizedText(optionalText(q.value(8)));
    clip.setSourceAppName(optionalText(q.value(9)));
    clip.setSourceAppBundleID(optionalText(q.value(10)));
    clip.setIsPinned(q.value(11).toBool());
    clip.setContentHash(q.value(12).toString());
    clip.setLinkTitle(optionalText(q.value(13)));
    clip.setExpiresAt(optionalDate(q.value(14)));
    PageRef page;
    if (!q.value(15).isNull()) {
        auto it = pages.find(q.value(15).toLongLong());
        if (it != pages.end())
            page = it->second;
    }
    clip.setPinboard(page);
    clip.setIsSavedToPage(q.value(16).toBool());
    clip.setPayloadByteCount(q.value(17).toLongLong());
}

void readPage(const QSqlQuery &q, Pinboard &page)
{
    page.setDedupID(QUuid::fromString(q.value(1).toString()));
    page.setName(q.value(2).toString());
    page.setColorName(q.value(3).toString());
    page.setIconName(q.value(4).toString());
    page.setSortOrder(q.value(5).toLongLong());
    page.setCreatedAt(dateFrom(q.value(6)));
    page.setLockSalt(q.value(7).toString());
    page.setLockHash(q.value(8).toString());
}

void readSettings(const QSqlQuery &q, AppSettings &s)
{
    s.setRecordID(QUuid::fromString(q.value(1).toString()));
    s.setHistoryLimitValue(q.value(2).toLongLong());
    s.setUpdatedAt(dateFrom(q.value(3)));
}

void readBrand(const QSqlQuery &q, SourceAppBrand &b)
{
    b.setRecordID(QUuid::fromString(q.value(1).toString()));
    b.setBundleID(q.value(2).toString());
    b.setAppName(q.value(3).toString());
    b.setColorHex(q.value(4).toString());
    b.setIconPNG(q.value(5).isNull() ? std::nullopt : std::optional<QByteArray>(q.value(5).toByteArray()));
    b.setUpdatedAt(dateFrom(q.value(6)));
}

} // namespace

void ModelContext::attach(PersistentModel &record, qint64 &nextRowID)
{
    record.m_context = this;
    if (record.m_rowID == 0)
        record.m_rowID = nextRowID;
    nextRowID = std::max(nextRowID, record.m_rowID + 1);
}

void ModelContext::index(const std::shared_ptr<PersistentModel> &record)
{
    ++m_changeCount;
    if (auto clip = std::dynamic_pointer_cast<ClipItem>(record)) {
        attach(*clip, m_nextClipRow);
        m_liveClips[clip->m_rowID] = clip;
    } else if (auto page = std::dynamic_pointer_cast<Pinboard>(record)) {
        attach(*page, m_nextPageRow);
        m_pages[page->m_rowID] = page;
    } else if (auto s = std::dynamic_pointer_cast<AppSettings>(record)) {
        attach(*s, m_nextSettingsRow);
        m_settings[s->m_rowID] = s;
    } else if (auto b = std::dynamic_pointer_cast<SourceAppBrand>(record)) {
        attach(*b, m_nextBrandRow);
        m_brands[b->m_rowID] = b;
    }
}

void ModelContext::detach(PersistentModel &record)
{
    ++m_changeCount;
    if (dynamic_cast<ClipItem *>(&record))
        m_liveClips.erase(record.m_rowID);
    else if (dynamic_cast<Pinboard *>(&record))
        m_pages.erase(record.m_rowID);
    else if (dynamic_cast<AppSettings *>(&record))
        m_settings.erase(record.m_rowID);
    else
        m_brands.erase(record.m_rowID);
}

bool ModelContext::load(QString *error)
{
    auto fail = [&](const QSqlQuery &q) {
        if (error)
            *error = describe(q.lastError());
        return false;
    };
    {
        QSqlQuery q(m_db);
        if (!q.exec(QStringLiteral("SELECT %1 FROM pinboards").arg(kPageColumns)))
            return fail(q);
        while (q.next()) {
            auto page = std::make_shared<Pinboard>();
            page->m_rowID = q.value(0).toLongLong();
            readPage(q, *page);
            page->m_modifiedAt = optionalDate(q.value(9)).value_or(QDateTime());
            index(page);
        }
        if (q.lastError().isValid())
            return fail(q);
    }
    {
        // Clips load when asked for; a read of the newest row tells that the table can be read.
        QSqlQuery q(m_db);
        if (!q.exec(QStringLiteral("SELECT %1 FROM clips ORDER BY id DESC LIMIT 1").arg(kClipColumns)))
            return fail(q);
        if (q.next())
            m_nextClipRow = q.value(0).toLongLong() + 1;
        if (q.lastError().isValid())
            return fail(q);
    }
    {
        QSqlQuery q(m_db);
        if (!q.exec(QStringLiteral("SELECT %1 FROM app_settings").arg(kSettingsColumns)))
            return fail(q);
        while (q.next()) {
            auto s = std::make_shared<AppSettings>();
            s->m_rowID = q.value(0).toLongLong();
            readSettings(q, *s);
            s->m_modifiedAt = optionalDate(q.value(4)).value_or(QDateTime());
            index(s);
        }
    }
    {
        QSqlQuery q(m_db);
        if (!q.exec(QStringLiteral("SELECT %1 FROM source_app_brands").arg(kBrandColumns)))
            return fail(q);
        while (q.next()) {
            auto b = std::make_shared<SourceAppBrand>();
            b->m_rowID = q.value(0).toLongLong();
            readBrand(q, *b);
            b->m_modifiedAt = optionalDate(q.value(7)).value_or(QDateTime());
            index(b);
        }
    }
    m_updated.clear();
    return true;
}

namespace {

bool newerFirst(const ClipRef &a, const ClipRef &b)
{
    if (a->createdAt() != b->createdAt())
        return a->createdAt() > b->createdAt();
    return a->persistentModelID().rowID > b->persistentModelID().rowID;
}

QString orderBy(ClipQuery::Order order)
{
    switch (order) {
    case ClipQuery::Order::newestFirst: return QStringLiteral(" ORDER BY createdAt DESC, id DESC");
    case ClipQuery::Order::oldestFirst: return QStringLiteral(" ORDER BY createdAt, id");
    case ClipQuery::Order::none: break;
    }
    return {};
}

} // namespace

ClipRef ModelContext::materialize(const QSqlQuery &q) const
{
    const qint64 row = q.value(0).toLongLong();
    auto live = m_liveClips.find(row);
    if (live != m_liveClips.end())
        if (ClipRef clip = live->second.lock())
            return clip;
    auto clip = std::make_shared<ClipItem>();
    clip->m_rowID = row;
    readClip(q, *clip, m_pages);
    readBlobSizes(q, *clip);
    clip->m_modifiedAt = optionalDate(q.value(20)).value_or(QDateTime());
    clip->m_context = const_cast<ModelContext *>(this);
    m_liveClips[row] = clip;
    // Clips nobody holds any more leave only an empty entry behind; clear those now and then.
    if (m_liveClips.size() > 2 * m_liveClipsAfterSweep + 1024) {
        std::erase_if(m_liveClips, [](const auto &entry) { return entry.second.expired(); });
        m_liveClipsAfterSweep = m_liveClips.size();
    }
    return clip;
}

std::vector<ClipRef> ModelContext::changedClips() const
{
    std::vector<ClipRef> out;
    std::unordered_set<const PersistentModel *> seen;
    for (const auto &record : m_inserted)
        if (auto clip = std::dynamic_pointer_cast<ClipItem>(record); clip && seen.insert(clip.get()).second)
            out.push_back(std::move(clip));
    for (const auto &[raw, record] : m_updated)
        if (auto clip = std::dynamic_pointer_cast<ClipItem>(record); clip && !clip->m_deleted && seen.insert(raw).second)
            out.push_back(std::move(clip));
    return out;
}

std::unordered_set<qint64> ModelContext::changedClipRows() const
{
    std::unordered_set<qint64> rows;
    auto add = [&rows](const std::shared_ptr<PersistentModel> &record) {
        if (dynamic_cast<ClipItem *>(record.get()))
            rows.insert(record->m_rowID);
    };
    for (const auto &record : m_inserted)
        add(record);
    for (const auto &[raw, record] : m_updated)
        add(record);
    for (const auto &record : m_deleted)
        add(record);
    return rows;
}

namespace {

QString jsonArray(const std::unordered_set<qint64> &rows)
{
    QStringList items;
    for (qint64 row : rows)
        items << QString::number(row);
    return QLatin1Char('[') + items.join(QLatin1Char(',')) + QLatin1Char(']');
}

} // namespace

QSqlQuery &ModelContext::clipQuery(const QString &sql, const QVariantList &values) const
{
    QSqlQuery &q = const_cast<ModelContext *>(this)->prepared(sql);
    for (int i = 0; i < values.size(); ++i)
        q.bindValue(i, values[i]);
    return q;
}

std::vector<ClipRef> ModelContext::fetchClips(const ClipQuery &query) const
{
    // Changed clips answer from memory; their stored rows are passed over, so a limited query
    // asks for as many more rows as there are of them.
    const std::unordered_set<qint64> changedRows = changedClipRows();
    QString sql = QStringLiteral("SELECT %1 FROM clips").arg(kClipColumns);
    if (!query.where.isEmpty())
        sql += QStringLiteral(" WHERE (%1)").arg(query.where);
    sql += orderBy(query.order);
    QVariantList values = query.values;
    if (query.limit >= 0) {
        sql += QStringLiteral(" LIMIT ?");
        values << qint64(query.limit) + qint64(changedRows.size());
    }
    QSqlQuery &q = clipQuery(sql, values);
    std::vector<ClipRef> out;
    if (q.exec()) {
        while (q.next())
            if (!changedRows.count(q.value(0).toLongLong()))
                out.push_back(materialize(q));
    } else {
        qCWarning(lcStore, "Failed to read clips: %s", qPrintable(describe(q.lastError())));
    }
    q.finish();
    for (ClipRef &clip : changedClips())
        if (!query.matches || query.matches(*clip))
            out.push_back(std::move(clip));
    if (query.order == ClipQuery::Order::newestFirst)
        std::sort(out.begin(), out.end(), newerFirst);
    else if (query.order == ClipQuery::Order::oldestFirst)
        std::sort(out.begin(), out.end(), [](const ClipRef &a, const ClipRef &b) { return newerFirst(b, a); });
    if (query.limit >= 0 && qsizetype(out.size()) > query.limit)
        out.resize(size_t(query.limit));
    return out;
}

qsizetype ModelContext::countClips(const ClipQuery &query) const
{
    auto count = [this](const QString &sql, const QVariantList &values) -> qsizetype {
        QSqlQuery &q = clipQuery(sql, values);
        qsizetype n = 0;
        if (q.exec() && q.next())
            n = q.value(0).toLongLong();
        else
            qCWarning(lcStore, "Failed to count clips: %s", qPrintable(describe(q.lastError())));
        q.finish();
        return n;
    };
    const QString where = query.where.isEmpty() ? QString() : QStringLiteral(" WHERE (%1)").arg(query.where);
    qsizetype n = count(QStringLiteral("SELECT COUNT(*) FROM clips") + where, query.values);
    // Changed clips count as they are in memory, not as they were stored.
    const std::unordered_set<qint64> changedRows = changedClipRows();
    if (!changedRows.empty()) {
        const QString changed = QStringLiteral("id IN (SELECT value FROM json_each(?))");
        n -= count(QStringLiteral("SELECT COUNT(*) FROM clips WHERE ") + changed
                       + (query.where.isEmpty() ? QString() : QStringLiteral(" AND (%1)").arg(query.where)),
                   QVariantList{jsonArray(changedRows)} + query.values);
    }
    for (const ClipRef &clip : changedClips())
        if (!query.matches || query.matches(*clip))
            ++n;
    return n;
}

void ModelContext::forEachClip(const std::function<void(const ClipRef &)> &f) const
{
    // A query of its own: `f` may ask other questions of the store meanwhile.
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    const std::unordered_set<qint64> changedRows = changedClipRows();
    const std::vector<ClipRef> changed = changedClips();
    if (q.exec(QStringLiteral("SELECT %1 FROM clips").arg(kClipColumns))) {
        while (q.next())
            if (!changedRows.count(q.value(0).toLongLong()))
                f(materialize(q));
    } else {
        qCWarning(lcStore, "Failed to read clips: %s", qPrintable(describe(q.lastError())));
    }
    for (const ClipRef &clip : changed)
        f(clip);
}

std::vector<ClipRef> ModelContext::allClips() const
{
    return fetchClips({});
}

std::vector<ClipRef> ModelContext::clipsNewestFirst() const
{
    return fetchClips({.order = ClipQuery::Order::newestFirst});
}

qsizetype ModelContext::clipCount() const
{
    return countClips({});
}

std::vector<ClipRef> ModelContext::clipsWithHash(const QString &hash) const
{
    return fetchClips({QStringLiteral("contentHash = ?"), {hash},
                       [&hash](const ClipItem &clip) { return clip.contentHash() == hash; },
                       ClipQuery::Order::newestFirst});
}

ClipRef ModelContext::newestClipWithHash(const QString &hash) const
{
    const auto clips = fetchClips({QStringLiteral("contentHash = ?"), {hash},
                                   [&hash](const ClipItem &clip) { return clip.contentHash() == hash; },
                                   ClipQuery::Order::newestFirst, 1});
    return clips.empty() ? nullptr : clips.front();
}

ClipRef ModelContext::newestClip() const
{
    const auto clips = fetchClips({.order = ClipQuery::Order::newestFirst, .limit = 1});
    return clips.empty() ? nullptr : clips.front();
}

ClipRef ModelContext::clipWithDedupID(const QUuid &id) const
{
    const auto clips = fetchClips({QStringLiteral("dedupID = ?"), {uuidText(id)},
                                   [&id](const ClipItem &clip) { return clip.dedupID() == id; },
                                   ClipQuery::Order::none, 1});
    return clips.empty() ? nullptr : clips.front();
}

ClipRef ModelContext::clip(const PersistentIdentifier &id) const
{
    if (id.entity != QLatin1String("ClipItem") || !id.isValid())
        return nullptr;
    const qint64 row = id.rowID;
    if (auto live = m_liveClips.find(row); live != m_liveClips.end())
        if (ClipRef clip = live->second.lock())
            return clip;
    const auto clips = fetchClips({QStringLiteral("id = ?"), {row},
                                   [row](const ClipItem &clip) { return clip.m_rowID == row; },
                                   ClipQuery::Order::none, 1});
    return clips.empty() ? nullptr : clips.front();
}

std::vector<ClipRef> ModelContext::clipsExpiringBy(const QDateTime &date) const
{
    return fetchClips({QStringLiteral("expiresAt <= ?"), {date.toMSecsSinceEpoch()},
                       [&date](const ClipItem &clip) { return clip.expiresAt() && *clip.expiresAt() <= date; }});
}

QStringList ModelContext::sharedContentHashes() const
{
    QSet<QString> hashes;
    QSqlQuery &q = clipQuery(QStringLiteral("SELECT contentHash FROM clips GROUP BY contentHash HAVING COUNT(*) > 1"), {});
    if (q.exec())
        while (q.next())
            hashes.insert(q.value(0).toString());
    q.finish();
    // A changed clip may now share its hash with a stored one.
    for (const ClipRef &clip : changedClips())
        hashes.insert(clip->contentHash());
    QStringList out;
    for (const QString &hash : std::as_const(hashes))
        if (clipsWithHash(hash).size() > 1)
            out << hash;
    return out;
}

namespace {

// Each application's newest clip: its date and the name it gave.
class SourceApps {
public:
    void note(const QString &bundleID, qint64 at, const std::optional<QString> &name)
    {
        if (bundleID.isEmpty())
            return;
        auto it = m_apps.find(bundleID);
        if (it == m_apps.end())
            m_apps.insert(bundleID, {at, name});
        else if (at > it->at)
            *it = {at, name};
    }

    // SQLite takes the name from the row that has the MAX.
    static QString query(const QString &condition)
    {
        return QStringLiteral("SELECT sourceAppBundleID, MAX(createdAt), sourceAppName FROM clips"
                              " WHERE sourceAppBundleID IS NOT NULL%1 GROUP BY sourceAppBundleID")
            .arg(condition);
    }

    void read(QSqlQuery &q)
    {
        while (q.next())
            note(q.value(0).toString(), q.value(1).toLongLong(), optionalText(q.value(2)));
    }

    std::vector<std::pair<QString, std::optional<QString>>> newestFirst() const
    {
        std::vector<std::pair<QString, Newest>> sorted;
        for (auto it = m_apps.cbegin(); it != m_apps.cend(); ++it)
            sorted.emplace_back(it.key(), it.value());
        std::sort(sorted.begin(), sorted.end(), [](const auto &a, const auto &b) { return a.second.at > b.second.at; });
        std::vector<std::pair<QString, std::optional<QString>>> out;
        for (auto &[bundleID, newest] : sorted)
            out.emplace_back(bundleID, newest.name);
        return out;
    }

private:
    struct Newest {
        qint64 at;
        std::optional<QString> name;
    };
    QHash<QString, Newest> m_apps;
};

} // namespace

std::vector<std::pair<QString, std::optional<QString>>> ModelContext::sourceAppsNewestFirst() const
{
    SourceApps apps;
    QSqlQuery &q = clipQuery(SourceApps::query(QStringLiteral(" AND id NOT IN (SELECT value FROM json_each(?))")),
                             {jsonArray(changedClipRows())});
    if (q.exec())
        apps.read(q);
    q.finish();
    for (const ClipRef &clip : changedClips())
        if (clip->sourceAppBundleID())
            apps.note(*clip->sourceAppBundleID(), clip->createdAt().toMSecsSinceEpoch(), clip->sourceAppName());
    return apps.newestFirst();
}

std::vector<PageRef> ModelContext::pinboards() const
{
    std::vector<PageRef> out;
    for (const auto &[id, page] : m_pages)
        out.push_back(page);
    std::sort(out.begin(), out.end(), [](const PageRef &a, const PageRef &b) {
        if (a->sortOrder() != b->sortOrder())
            return a->sortOrder() < b->sortOrder();
        if (a->createdAt() != b->createdAt())
            return a->createdAt() < b->createdAt();
        return a->persistentModelID().rowID < b->persistentModelID().rowID;
    });
    return out;
}

PageRef ModelContext::pinboardWithDedupID(const QUuid &id) const
{
    for (const auto &[row, page] : m_pages)
        if (page->dedupID() == id)
            return page;
    return nullptr;
}

std::vector<ClipRef> ModelContext::itemsOf(const Pinboard *page) const
{
    if (!page)
        return {};
    return fetchClips({QStringLiteral("pinboardID = ?"), {page->m_rowID},
                       [page](const ClipItem &clip) { return clip.pinboard().get() == page; }});
}

std::vector<SettingsRef> ModelContext::appSettings() const
{
    std::vector<SettingsRef> out;
    for (const auto &[id, s] : m_settings)
        out.push_back(s);
    std::sort(out.begin(), out.end(), [](const auto &a, const auto &b) {
        return a->persistentModelID().rowID < b->persistentModelID().rowID;
    });
    return out;
}

std::vector<BrandRef> ModelContext::sourceAppBrands() const
{
    std::vector<BrandRef> out;
    for (const auto &[id, b] : m_brands)
        out.push_back(b);
    return out;
}

BrandRef ModelContext::sourceAppBrand(const QString &bundleID) const
{
    for (const auto &[id, b] : m_brands)
        if (b->bundleID() == bundleID)
            return b;
    return nullptr;
}

void ModelContext::insertRecord(const std::shared_ptr<PersistentModel> &record)
{
    if (!record || record->m_context)
        return;
    record->m_deleted = false;
    if (auto *clip = dynamic_cast<ClipItem *>(record.get()))
        clip->m_image.m_dirty = clip->m_file.m_dirty = true;
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
    if (auto page = std::dynamic_pointer_cast<Pinboard>(record)) {
        for (const ClipRef &clip : itemsOf(page.get()))
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
    if (dynamic_cast<ClipItem *>(record)) {
        auto live = m_liveClips.find(record->m_rowID);
        if (live != m_liveClips.end())
            strong = live->second.lock();
    } else if (dynamic_cast<Pinboard *>(record)) {
        strong = m_pages.at(record->m_rowID);
    } else if (dynamic_cast<AppSettings *>(record)) {
        strong = m_settings.at(record->m_rowID);
    } else {
        strong = m_brands.at(record->m_rowID);
    }
    if (strong)
        m_updated.emplace(record, std::move(strong));
}

void ModelContext::readBlobSizes(const QSqlQuery &q, ClipItem &clip)
{
    for (auto [blob, column] : {std::pair{&clip.m_image, 18}, std::pair{&clip.m_file, 19}}) {
        blob->m_size = q.value(column).toLongLong();
        blob->m_loaded = blob->m_size <= 0;
        blob->m_data = blob->m_size < 0 ? std::nullopt : std::optional<QByteArray>(QByteArray());
        blob->m_dirty = false;
    }
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

bool ModelContext::updateClipRow(qint64 row, const QVariantList &values, QSqlError *error)
{
    // SQLite rewrites an index only when the update sets one of its columns, and rewriting the
    // six indexes costs twenty times what the row does: indexed values are set only when they
    // changed. A clip moved to the top rewrites its date, not its hash or its identity.
    static const QStringList columns = kClipColumns.split(QLatin1Char(','), Qt::SkipEmptyParts);
    static const std::vector<int> indexed{1, 2, 11, 12, 14, 15, 16};
    QSqlQuery &stored = prepared(QStringLiteral("SELECT dedupID, createdAt, isPinned, contentHash, expiresAt, pinboardID,"
                                                " isSavedToPage FROM clips WHERE id = ?"));
    stored.bindValue(0, row);
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
    for (int column = 1; column < int(values.size()); ++column) {
        const auto key = std::find(indexed.begin(), indexed.end(), column);
        if (key != indexed.end()) {
            const QVariant was = stored.value(int(key - indexed.begin()));
            const QVariant &now = values[column];
            if (was.isNull() == now.isNull() && (was.isNull() || was.toString() == now.toString()))
                continue;
        }
        set << columns[column].trimmed() + QStringLiteral(" = ?");
        bound << values[column];
    }
    stored.finish();
    bound << row;
    QSqlQuery &q = prepared(QStringLiteral("UPDATE clips SET %1 WHERE id = ?").arg(set.join(QStringLiteral(", "))));
    return execWith(q, bound, error);
}

bool ModelContext::writeClip(ClipItem &clip, bool isNew, QSqlError *error)
{
    const PageRef page = clip.pinboard();
    const QVariantList values{
        clip.m_rowID,
        uuidText(clip.dedupID()),
        dateValue(clip.createdAt()),
        requiredText(clip.kindRawValue()),
        textValue(clip.text()),
        textValue(clip.fileName()),
        textValue(clip.fileTypeIdentifier()),
        textValue(clip.customTitle()),
        textValue(clip.recognizedText()),
        textValue(clip.sourceAppName()),
        textValue(clip.sourceAppBundleID()),
        clip.isPinned() ? 1 : 0,
        requiredText(clip.contentHash()),
        textValue(clip.linkTitle()),
        dateValue(clip.expiresAt()),
        page && page->m_rowID > 0 && !page->m_deleted ? QVariant(page->m_rowID) : QVariant(QMetaType::fromType<qlonglong>()),
        clip.isSavedToPage() ? 1 : 0,
        clip.payloadByteCount(),
        clip.m_image.m_size,
        clip.m_file.m_size,
        m_saveTime,
    };
    if (isNew || !updateClipRow(clip.m_rowID, values, error)) {
        if (error->isValid())
            return false;
        QSqlQuery &q = prepared(QStringLiteral("INSERT OR REPLACE INTO clips(%1) VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)")
                                    .arg(kClipColumns));
        if (!execWith(q, values, error))
            return false;
    }
    for (auto [blob, table] : {std::pair{&clip.m_image, QStringLiteral("clip_images")},
                               std::pair{&clip.m_file, QStringLiteral("clip_files")}}) {
        if (!blob->m_dirty)
            continue;
        const bool store = blob->m_data && !blob->m_data->isEmpty();
        QSqlQuery &bq = prepared(store ? QStringLiteral("INSERT OR REPLACE INTO %1(clipID, data) VALUES(?, ?)").arg(table)
                                       : QStringLiteral("DELETE FROM %1 WHERE clipID = ?").arg(table));
        bq.bindValue(0, clip.m_rowID);
        if (store)
            bq.bindValue(1, *blob->m_data);
        if (!bq.exec()) {
            *error = bq.lastError();
            return false;
        }
    }
    return true;
}

bool ModelContext::writePinboard(Pinboard &page, QSqlError *error)
{
    QSqlQuery &q = prepared(QStringLiteral("INSERT OR REPLACE INTO pinboards(%1) VALUES(?,?,?,?,?,?,?,?,?,?)").arg(kPageColumns));
    const QVariantList values{page.m_rowID,
                              uuidText(page.dedupID()),
                              requiredText(page.name()),
                              requiredText(page.colorName()),
                              requiredText(page.iconName()),
                              page.sortOrder(),
                              dateValue(page.createdAt()),
                              requiredText(page.lockSalt()),
                              requiredText(page.lockHash()),
                              m_saveTime};
    if (!execWith(q, values, error))
        return false;
    return true;
}

bool ModelContext::writeSettings(AppSettings &s, QSqlError *error)
{
    QSqlQuery &q = prepared(QStringLiteral("INSERT OR REPLACE INTO app_settings(%1) VALUES(?,?,?,?,?)").arg(kSettingsColumns));
    const QVariantList values{s.m_rowID, uuidText(s.recordID()), s.historyLimitValue(), dateValue(s.updatedAt()), m_saveTime};
    if (!execWith(q, values, error))
        return false;
    return true;
}

bool ModelContext::writeBrand(SourceAppBrand &b, QSqlError *error)
{
    QSqlQuery &q = prepared(QStringLiteral("INSERT OR REPLACE INTO source_app_brands(%1) VALUES(?,?,?,?,?,?,?,?)").arg(kBrandColumns));
    const QVariantList values{b.m_rowID,
                              uuidText(b.recordID()),
                              requiredText(b.bundleID()),
                              requiredText(b.appName()),
                              requiredText(b.colorHex()),
                              b.iconPNG() ? QVariant(*b.iconPNG()) : QVariant(QMetaType::fromType<QByteArray>()),
                              dateValue(b.updatedAt()),
                              m_saveTime};
    if (!execWith(q, values, error))
        return false;
    return true;
}

bool ModelContext::deleteRecord(PersistentModel &record, QSqlError *error)
{
    const QString table = tableOf(record);
    QStringList statements{QStringLiteral("DELETE FROM %1 WHERE id = ?").arg(table)};
    if (table == QLatin1String("clips"))
        statements << QStringLiteral("DELETE FROM clip_images WHERE clipID = ?")
                   << QStringLiteral("DELETE FROM clip_files WHERE clipID = ?");
    for (const QString &sql : statements) {
        QSqlQuery &q = prepared(sql);
        q.bindValue(0, record.m_rowID);
        if (!q.exec()) {
            *error = q.lastError();
            return false;
        }
    }
    QSqlQuery &q = prepared(QStringLiteral("INSERT INTO deletions(entity, recordID, deletedAt) VALUES(?, ?, ?)"));
    q.bindValue(0, record.entityName());
    q.bindValue(1, uuidText(stableID(record)));
    q.bindValue(2, m_saveTime);
    if (!q.exec()) {
        *error = q.lastError();
        return false;
    }
    return true;
}

namespace {

ModelContext::SaveFailure saveFailureOf(const QSqlError &error)
{
    switch (sqliteCode(error)) {
    case 13: // SQLITE_FULL
        return ModelContext::SaveFailure::diskFull;
    case 3:  // SQLITE_PERM
    case 5:  // SQLITE_BUSY
    case 6:  // SQLITE_LOCKED
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

bool ModelContext::save(QString *error)
{
    m_lastSaveFailure = SaveFailure::none;
    if (!hasChanges())
        return true;
    const QDateTime now = m_clock();
    m_saveTime = now.toMSecsSinceEpoch();
    if (!m_db.transaction()) {
        m_lastSaveFailure = saveFailureOf(m_db.lastError());
        if (error)
            *error = describe(m_db.lastError());
        return false;
    }
    QSqlError failure;
    std::unordered_set<PersistentModel *> inserted;
    auto write = [&](PersistentModel &record) {
        if (auto clip = dynamic_cast<ClipItem *>(&record))
            return writeClip(*clip, inserted.count(clip) > 0, &failure);
        if (auto page = dynamic_cast<Pinboard *>(&record))
            return writePinboard(*page, &failure);
        if (auto s = dynamic_cast<AppSettings *>(&record))
            return writeSettings(*s, &failure);
        return writeBrand(static_cast<SourceAppBrand &>(record), &failure);
    };
    bool ok = true;
    for (const auto &record : m_deleted)
        if (ok)
            ok = deleteRecord(*record, &failure);
    // Pages first, so that a clip filed into a new Page finds it.
    std::vector<PersistentModel *> pending;
    pending.reserve(m_inserted.size() + m_updated.size());
    for (const auto &record : m_inserted) {
        pending.push_back(record.get());
        inserted.insert(record.get());
    }
    for (const auto &[record, held] : m_updated)
        if (!inserted.count(record))
            pending.push_back(record);
    std::stable_partition(pending.begin(), pending.end(),
                          [](PersistentModel *r) { return dynamic_cast<Pinboard *>(r) != nullptr; });
    for (PersistentModel *record : pending)
        if (ok)
            ok = write(*record);
    if (ok && !m_db.commit()) {
        ok = false;
        failure = m_db.lastError();
    }
    for (auto &[sql, q] : m_queries)
        q->finish();
    if (!ok) {
        m_db.rollback();
        m_lastSaveFailure = saveFailureOf(failure);
        if (error)
            *error = describe(failure);
        return false;
    }
    for (PersistentModel *record : pending) {
        record->m_modifiedAt = now;
        if (auto clip = dynamic_cast<ClipItem *>(record)) {
            for (LazyBlob *blob : {&clip->m_image, &clip->m_file}) {
                blob->m_dirty = false;
                if (blob->m_size > kKeepBlobInMemoryBytes) {
                    blob->m_data.reset();
                    blob->m_loaded = false;
                }
            }
        }
    }
    for (const auto &record : m_deleted)
        record->m_context = nullptr;
    m_inserted.clear();
    m_updated.clear();
    m_deleted.clear();
    return true;
}

bool ModelContext::reloadRecord(PersistentModel &record)
{
    const QString table = tableOf(record);
    const QString columns = table == QLatin1String("clips")       ? kClipColumns
                            : table == QLatin1String("pinboards") ? kPageColumns
                            : table == QLatin1String("app_settings") ? kSettingsColumns
                                                                     : kBrandColumns;
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("SELECT %1 FROM %2 WHERE id = ?").arg(columns, table));
    q.bindValue(0, record.m_rowID);
    if (!q.exec() || !q.next())
        return false;
    if (auto clip = dynamic_cast<ClipItem *>(&record)) {
        readClip(q, *clip, m_pages);
        readBlobSizes(q, *clip);
    } else if (auto page = dynamic_cast<Pinboard *>(&record)) {
        readPage(q, *page);
    } else if (auto s = dynamic_cast<AppSettings *>(&record)) {
        readSettings(q, *s);
    } else {
        readBrand(q, static_cast<SourceAppBrand &>(record));
    }
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
    std::stable_partition(m_deleted.begin(), m_deleted.end(),
                          [](const auto &r) { return dynamic_cast<Pinboard *>(r.get()) != nullptr; });
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
    std::stable_partition(toReload.begin(), toReload.end(),
                          [](const auto &r) { return dynamic_cast<Pinboard *>(r.get()) != nullptr; });
    for (const auto &record : toReload)
        reloadRecord(*record);
    m_updated.clear();
}

void ModelContext::adoptRecordsOf(ModelContext &other)
{
    std::vector<std::shared_ptr<PersistentModel>> records;
    // Pages first: clips name theirs by row, and the Page gets its row here before they are written.
    for (const auto &[row, page] : other.m_pages)
        records.push_back(page);
    for (const ClipRef &clip : other.allClips()) {
        // The bytes live in the other store; read them while it is still there.
        for (const bool image : {true, false})
            if (!(image ? clip->m_image : clip->m_file).m_loaded)
                other.loadBlob(clip.get(), image);
        records.push_back(clip);
    }
    for (const auto &[row, settings] : other.m_settings)
        records.push_back(settings);
    for (const auto &[row, brand] : other.m_brands)
        if (!sourceAppBrand(brand->bundleID()))
            records.push_back(brand);
    // What stays behind (deleted clips, brands this store has) lets go of the other store.
    for (const auto &[row, live] : other.m_liveClips)
        if (ClipRef clip = live.lock())
            clip->m_context = nullptr;
    for (const auto &record : other.m_deleted)
        record->m_context = nullptr;
    for (const auto &[row, brand] : other.m_brands)
        brand->m_context = nullptr;
    other.m_pages.clear();
    other.m_liveClips.clear();
    other.m_settings.clear();
    other.m_brands.clear();
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

// ---------------------------------------------------------------------------------------------

ModelContainer::~ModelContainer()
{
    m_context.reset();
    {
        QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(m_connectionName);
}

int ModelContainer::schemaVersion()
{
    return StoreSchema::currentVersion();
}

std::unique_ptr<ModelContainer> ModelContainer::open(const QString &path, Clock clock, QString *error,
                                                     OpenFailure *failure)
{
    std::unique_ptr<ModelContainer> container(new ModelContainer);
    container->m_path = path;
    container->m_connectionName = QStringLiteral("quillmere-%1").arg(++g_connectionCounter);
    auto fail = [&](OpenFailure why, const QString &message) -> std::unique_ptr<ModelContainer> {
        if (error)
            *error = message;
        if (failure)
            *failure = why;
        return nullptr;
    };
    auto classify = [](const QSqlError &e) {
        switch (sqliteCode(e)) {
        case 11: // SQLITE_CORRUPT
        case 26: // SQLITE_NOTADB
            return OpenFailure::corrupt;
        case 3:  // SQLITE_PERM
        case 8:  // SQLITE_READONLY
        case 10: // SQLITE_IOERR
        case 13: // SQLITE_FULL
        case 14: // SQLITE_CANTOPEN
            return OpenFailure::unwritable;
        default:
            return OpenFailure::other;
        }
    };

    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), container->m_connectionName);
    if (!db.isValid())
        return fail(OpenFailure::other, QStringLiteral("The SQLite driver is not available"));
    if (path.isEmpty()) {
        db.setDatabaseName(QStringLiteral(":memory:"));
    } else {
        QString why;
        if (!makePrivate(path, &why))
            return fail(OpenFailure::unwritable, why);
        db.setDatabaseName(path);
    }
    if (!db.open())
        return fail(classify(db.lastError()), describe(db.lastError()));

    QSqlQuery q(db);
    if (!path.isEmpty() && !q.exec(QStringLiteral("PRAGMA journal_mode=WAL")))
        return fail(classify(q.lastError()), describe(q.lastError()));
    q.exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
    // Deleted clips (one-time codes, passwords) leave zeros behind, not their bytes.
    if (!q.exec(QStringLiteral("PRAGMA secure_delete = ON")))
        return fail(classify(q.lastError()), describe(q.lastError()));
    if (!q.exec(QStringLiteral("PRAGMA user_version")) || !q.next())
        return fail(classify(q.lastError()), describe(q.lastError()));
    const int version = q.value(0).toInt();
    q.finish();
    if (version > schemaVersion())
        return fail(OpenFailure::newerSchema,
                    QStringLiteral("The store was written by a newer version (schema %1)").arg(version));
    if (version < schemaVersion()) {
        if (!db.transaction())
            return fail(classify(db.lastError()), describe(db.lastError()));
        QSqlError e;
        if (!StoreSchema::migrate(db, version, &e)
            || !q.exec(QStringLiteral("PRAGMA user_version = %1").arg(schemaVersion())) || !db.commit()) {
            if (!e.isValid())
                e = q.lastError().isValid() ? q.lastError() : db.lastError();
            q.finish();
            db.rollback();
            // A store whose tables do not take the steps is one we cannot read; one that could
            // not be written now (full, read-only) is kept as it is and tried again later.
            const OpenFailure why = classify(e) == OpenFailure::other && sqliteCode(e) == 1 ? OpenFailure::corrupt
                                                                                             : classify(e);
            return fail(why, describe(e));
        }
        q.finish();
    }

    container->m_context = std::make_unique<ModelContext>(db, std::move(clock));
    QString loadError;
    if (!container->m_context->load(&loadError))
        return fail(OpenFailure::corrupt, loadError);
    return container;
}

std::vector<std::pair<QString, std::optional<QString>>> ModelContainer::sourceAppsStoredAt(const QString &path)
{
    const QString name = QStringLiteral("quillmere-read-%1").arg(++g_connectionCounter);
    SourceApps apps;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        db.setDatabaseName(path);
        if (db.open()) {
            QSqlQuery q(db);
            q.setForwardOnly(true);
            if (q.exec(SourceApps::query({})))
                apps.read(q);
        }
    }
    QSqlDatabase::removeDatabase(name);
    return apps.newestFirst();
}

QString persistenceModeName(PersistenceMode mode)
{
    switch (mode) {
    case PersistenceMode::cloudKit: return QStringLiteral("cloudKit");
    case PersistenceMode::localOnly: return QStringLiteral("localOnly");
    case PersistenceMode::inMemory: return QStringLiteral("inMemory");
    }
    return {};
}

QString ModelContainerFactory::defaultStorePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
           + QStringLiteral("/Quillmere/default.store");
}

std::shared_ptr<ModelContainer> ModelContainerFactory::makeInMemoryContainer(const Clock &clock, QString *error)
{
    return std::shared_ptr<ModelContainer>(ModelContainer::open(QString(), clock, error).release());
}

namespace {

// Moves the store and its companions aside under one time stamp; returns the new path, or empty
// when the store could not be moved (then it is left exactly where it was).
QString moveAside(const QString &path, const QDateTime &now)
{
    const QString stamp = now.toLocalTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString target = QStringLiteral("%1.unreadable-%2").arg(path, stamp);
    for (int n = 2; QFileInfo::exists(target); ++n)
        target = QStringLiteral("%1.unreadable-%2-%3").arg(path, stamp).arg(n);
    if (!QFile::rename(path, target))
        return {};
    for (const char *suffix : {"-wal", "-shm"}) {
        const QString companion = path + QLatin1String(suffix);
        if (QFileInfo::exists(companion))
            QFile::rename(companion, target + QLatin1String(suffix));
    }
    return target;
}

} // namespace

std::unique_ptr<ModelContainer> ModelContainerFactory::openStoreFile(const QString &path, const Clock &clock,
                                                                    QString *movedAsidePath, QString *error)
{
    ModelContainer::OpenFailure failure = ModelContainer::OpenFailure::none;
    auto container = ModelContainer::open(path, clock, error, &failure);
    if (!container && failure == ModelContainer::OpenFailure::corrupt && QFileInfo::exists(path)) {
        const QString aside = moveAside(path, clock());
        if (aside.isEmpty()) {
            qCCritical(lcPersistence, "The store at %s cannot be read (%s) and could not be moved aside",
                       qPrintable(path), qPrintable(*error));
        } else {
            qCCritical(lcPersistence, "The store at %s could not be read (%s); it was moved to %s",
                       qPrintable(path), qPrintable(*error), qPrintable(aside));
            *movedAsidePath = aside;
            container = ModelContainer::open(path, clock, error, &failure);
        }
    }
    return container;
}

PersistenceSetup ModelContainerFactory::makeSetup(const PersistenceOptions &options)
{
    const QString path = options.storePath.isEmpty() ? defaultStorePath() : options.storePath;
    QString error;
    QString aside;
    if (auto container = openStoreFile(path, options.clock, &aside, &error)) {
        qCInfo(lcPersistence, "Opened the local store at %s", qPrintable(path));
        return {std::shared_ptr<ModelContainer>(container.release()), PersistenceMode::localOnly, aside, {}};
    }
    qCCritical(lcPersistence, "The local store is unavailable (%s); keeping history in memory only",
               qPrintable(error));
    auto memory = makeInMemoryContainer(options.clock, &error);
    if (!memory)
        qFatal("No usable store, not even in memory: %s", qPrintable(error));
    return {memory, PersistenceMode::inMemory, aside, path};
}

} // namespace quillmere
