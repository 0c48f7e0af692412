#include "Quillmere/Model/StoreQueries.h"

#include "Quillmere/Model/ModelContext.h"
#include "Quillmere/Model/StoreRows.h"
#include "Quillmere/Platform/Core/Json.h"
#include "Quillmere/Platform/Core/Logging.h"

#include <QHash>
#include <QSet>
#include <algorithm>

namespace quillmere {
namespace {

bool newerFirst(const ClipRef &a, const ClipRef &b)
{
    if (a->createdAt() != b->createdAt())
        return a->createdAt() > b->createdAt();
    return a->persistentModelID().rowID > b->persistentModelID().rowID;
}

bool capturedLater(const ClipRef &a, const ClipRef &b)
{
    if (a->captureOrder() != b->captureOrder())
        return a->captureOrder() > b->captureOrder();
    return a->persistentModelID().rowID > b->persistentModelID().rowID;
}

QString orderBy(ClipQuery::Order order)
{
    switch (order) {
    case ClipQuery::Order::newestFirst:
        return QStringLiteral(" ORDER BY createdAt DESC, id DESC");
    case ClipQuery::Order::oldestFirst:
        return QStringLiteral(" ORDER BY createdAt, id");
    case ClipQuery::Order::firstCapturedFirst:
        return QStringLiteral(" ORDER BY captureOrder, id");
    case ClipQuery::Order::lastCapturedFirst:
        return QStringLiteral(" ORDER BY captureOrder DESC, id DESC");
    case ClipQuery::Order::none:
        break;
    }
    return {};
}

QString jsonArray(const std::unordered_set<qint64> &rows)
{
    QStringList items;
    for (qint64 row : rows)
        items << QString::number(row);
    return QLatin1Char('[') + items.join(QLatin1Char(',')) + QLatin1Char(']');
}

const EntityRows &clipRows()
{
    return StoreRows::of(Entity::clip);
}

} // namespace

void SourceApps::note(const QString &bundleID, qint64 at, const std::optional<QString> &name)
{
    if (bundleID.isEmpty())
        return;
    auto it = m_apps.find(bundleID);
    if (it == m_apps.end())
        m_apps.insert(bundleID, {at, name});
    else if (at > it->at)
        *it = {at, name};
}

QString SourceApps::query(const QString &condition)
{
    return QStringLiteral("SELECT sourceAppBundleID, MAX(createdAt), sourceAppName FROM clips"
                          " WHERE sourceAppBundleID IS NOT NULL%1 GROUP BY sourceAppBundleID")
        .arg(condition);
}

void SourceApps::read(QSqlQuery &q)
{
    while (q.next())
        note(q.value(0).toString(), q.value(1).toLongLong(), optionalText(q.value(2)));
}

std::vector<std::pair<QString, std::optional<QString>>> SourceApps::newestFirst() const
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

ClipRef ModelContext::materialize(const QSqlQuery &q) const
{
    const qint64 row = q.value(0).toLongLong();
    auto live = m_liveClips.find(row);
    if (live != m_liveClips.end())
        if (ClipRef clip = live->second.lock())
            return clip;
    auto clip = std::make_shared<ClipItem>();
    clip->m_rowID = row;
    clipRows().read(q, *clip, [this](qint64 page) { return pageWithRow(page); });
    clip->m_modifiedAt = optionalDate(q.value(clipRows().modifiedAtColumn())).value_or(QDateTime());
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
        if (record->entity() == Entity::clip && seen.insert(record.get()).second)
            out.push_back(std::static_pointer_cast<ClipItem>(record));
    for (const auto &[raw, record] : m_updated)
        if (record->entity() == Entity::clip && !record->m_deleted && seen.insert(raw).second)
            out.push_back(std::static_pointer_cast<ClipItem>(record));
    return out;
}

std::unordered_set<qint64> ModelContext::changedClipRows() const
{
    std::unordered_set<qint64> rows;
    auto add = [&rows](const std::shared_ptr<PersistentModel> &record) {
        if (record->entity() == Entity::clip)
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
    QString sql = clipRows().selectAll();
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
    }
    if (q.lastError().isValid()) {
        noteError(q.lastError());
        qCWarning(lcStore, "Failed to read clips: %s", qPrintable(describe(q.lastError())));
    }
    q.finish();
    for (ClipRef &clip : changedClips())
        if (!query.matches || query.matches(*clip))
            out.push_back(std::move(clip));
    switch (query.order) {
    case ClipQuery::Order::newestFirst:
        std::sort(out.begin(), out.end(), newerFirst);
        break;
    case ClipQuery::Order::oldestFirst:
        std::sort(out.begin(), out.end(), [](const ClipRef &a, const ClipRef &b) { return newerFirst(b, a); });
        break;
    case ClipQuery::Order::firstCapturedFirst:
        std::sort(out.begin(), out.end(), [](const ClipRef &a, const ClipRef &b) { return capturedLater(b, a); });
        break;
    case ClipQuery::Order::lastCapturedFirst:
        std::sort(out.begin(), out.end(), capturedLater);
        break;
    case ClipQuery::Order::none:
        break;
    }
    if (query.limit >= 0 && qsizetype(out.size()) > query.limit)
        out.resize(size_t(query.limit));
    return out;
}

qsizetype ModelContext::countClips(const ClipQuery &query) const
{
    auto count = [this](const QString &sql, const QVariantList &values) -> qsizetype {
        QSqlQuery &q = clipQuery(sql, values);
        qsizetype n = 0;
        if (q.exec() && q.next()) {
            n = q.value(0).toLongLong();
        } else {
            noteError(q.lastError());
            qCWarning(lcStore, "Failed to count clips: %s", qPrintable(describe(q.lastError())));
        }
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
    if (q.exec(clipRows().selectAll()))
        while (q.next())
            if (!changedRows.count(q.value(0).toLongLong()))
                f(materialize(q));
    if (q.lastError().isValid()) {
        noteError(q.lastError());
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
    auto same = [&hash](const ClipItem &clip) { return clip.contentHash() == hash; };
    // The key narrows the rows down; a few other hashes may share it.
    std::vector<ClipRef> clips = fetchClips(
        {QStringLiteral("hashKey = ?"), {ClipKeys::contentHashKey(hash)}, same, ClipQuery::Order::newestFirst});
    std::erase_if(clips, [&same](const ClipRef &clip) { return !same(*clip); });
    return clips;
}

ClipRef ModelContext::newestClipWithHash(const QString &hash) const
{
    const auto clips = clipsWithHash(hash);
    return clips.empty() ? nullptr : clips.front();
}

ClipRef ModelContext::newestClip() const
{
    const auto clips = fetchClips({.order = ClipQuery::Order::newestFirst, .limit = 1});
    return clips.empty() ? nullptr : clips.front();
}

qint64 ModelContext::lastCaptureOrder() const
{
    const auto clips = fetchClips({.order = ClipQuery::Order::lastCapturedFirst, .limit = 1});
    return clips.empty() ? 0 : clips.front()->captureOrder();
}

ClipRef ModelContext::clipWithDedupID(const QUuid &id) const
{
    const auto clips =
        fetchClips({ClipKeys::dedupIDCondition(), ClipKeys::dedupIDValues(id),
                    [&id](const ClipItem &clip) { return clip.dedupID() == id; }, ClipQuery::Order::none, 1});
    return clips.empty() ? nullptr : clips.front();
}

ClipRef ModelContext::clip(const PersistentIdentifier &id) const
{
    if (id.entity != clipRows().name || !id.isValid())
        return nullptr;
    const qint64 row = id.rowID;
    if (auto live = m_liveClips.find(row); live != m_liveClips.end())
        if (ClipRef clip = live->second.lock())
            return clip;
    const auto clips = fetchClips({QStringLiteral("id = ?"),
                                   {row},
                                   [row](const ClipItem &clip) { return clip.m_rowID == row; },
                                   ClipQuery::Order::none,
                                   1});
    return clips.empty() ? nullptr : clips.front();
}

std::vector<ClipRef> ModelContext::clipsExpiringBy(const QDateTime &date) const
{
    return fetchClips({QStringLiteral("expiresAt <= ?"), {date.toMSecsSinceEpoch()}, [&date](const ClipItem &clip) {
                           return clip.expiresAt() && *clip.expiresAt() <= date;
                       }});
}

QStringList ModelContext::sharedContentHashes() const
{
    // Rows sharing a key, read in full: their hashes may differ.
    std::vector<qint32> keys;
    QSqlQuery &q = clipQuery(QStringLiteral("SELECT hashKey FROM clips GROUP BY hashKey HAVING COUNT(*) > 1"), {});
    if (q.exec())
        while (q.next())
            keys.push_back(q.value(0).toInt());
    q.finish();
    // A repeated hash repeats within its key; the others on the key are only neighbours.
    QSet<QString> hashes;
    for (qint32 key : keys) {
        QHash<QString, int> counts;
        for (const ClipRef &clip :
             fetchClips({QStringLiteral("hashKey = ?"), {key}, [](const ClipItem &) { return false; }}))
            if (++counts[clip->contentHash()] == 2)
                hashes.insert(clip->contentHash());
    }
    // A changed clip may now share its hash with a stored one.
    for (const ClipRef &clip : changedClips())
        hashes.insert(clip->contentHash());
    QStringList out;
    for (const QString &hash : std::as_const(hashes))
        if (clipsWithHash(hash).size() > 1)
            out << hash;
    return out;
}

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
    std::vector<PageRef> out = heldOf<Pinboard>(Entity::page);
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
    for (const auto &[row, page] : held(Entity::page))
        if (static_cast<const Pinboard &>(*page).dedupID() == id)
            return std::static_pointer_cast<Pinboard>(page);
    return nullptr;
}

std::vector<ClipRef> ModelContext::itemsOf(const Pinboard *page) const
{
    if (!page)
        return {};
    return fetchClips({QStringLiteral("pinboardID = ?"), {page->m_rowID}, [page](const ClipItem &clip) {
                           return clip.pinboard().get() == page;
                       }});
}

std::vector<SettingsRef> ModelContext::appSettings() const
{
    std::vector<SettingsRef> out = heldOf<AppSettings>(Entity::settings);
    std::sort(out.begin(), out.end(),
              [](const auto &a, const auto &b) { return a->persistentModelID().rowID < b->persistentModelID().rowID; });
    return out;
}

std::vector<BrandRef> ModelContext::sourceAppBrands() const
{
    return heldOf<SourceAppBrand>(Entity::brand);
}

BrandRef ModelContext::sourceAppBrand(const QString &bundleID) const
{
    for (const auto &[row, brand] : held(Entity::brand))
        if (static_cast<const SourceAppBrand &>(*brand).bundleID() == bundleID)
            return std::static_pointer_cast<SourceAppBrand>(brand);
    return nullptr;
}

} // namespace quillmere
