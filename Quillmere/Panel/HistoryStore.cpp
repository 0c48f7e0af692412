#include "Quillmere/Panel/HistoryStore.h"

#include "Quillmere/Model/ClipPresentation.h"
#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Model/SearchReader.h"
#include "Quillmere/Model/StoreFileGuard.h"
#include "Quillmere/Model/StoreReader.h"
#include "Quillmere/Model/StoreRows.h"
#include "Quillmere/Model/StoreSearchKeys.h"
#include "Quillmere/Model/TextMeasures.h"
#include "Quillmere/Platform/Core/HandOver.h"
#include "Quillmere/Platform/Core/InBackground.h"
#include "Quillmere/Platform/Core/Logging.h"

#include <QRunnable>
#include <QThreadPool>

#include <algorithm>
#include <iterator>
#include <limits>
#include <malloc.h>
#include <unordered_map>
#include <unordered_set>

namespace quillmere {

ClipStoreHistory::ClipStoreHistory(ClipStore &store, QObject *parent) : HistoryStore(parent), m_store(store)
{
    connect(&store, &ClipStore::didSave, this, &HistoryStore::changed);
    connect(&store, &ClipStore::containerChanged, this, &ClipStoreHistory::followContainer);
    m_keyFill.setSingleShot(true);
    connect(&m_keyFill, &QTimer::timeout, this, &ClipStoreHistory::fillSearchKeys);
    if (!store.container().isInMemory())
        m_keyFill.start(keyFillDelay);
}

void ClipStoreHistory::followContainer()
{
    // A store read back from a damaged file, or one put in place of the last, comes without the
    // keys of the clips it holds.
    m_keyFill.stop();
    if (!m_store.container().isInMemory())
        m_keyFill.start(keyFillDelay);
    // A kept connection would go on reading the file the history left; one asked for while the
    // history was in memory reads the store it went on in.
    if (m_keepReads) {
        keepSearchReads(false);
        keepSearchReads(true);
    }
    // What is shown and searched was read of the store left, which may have left out what a salvage
    // could not keep, or met its damage: read again of this one.
    Q_EMIT changed();
}

void ClipStoreHistory::fillSearchKeys()
{
    // A slice under way asks for the next itself, of the store the history is in by then.
    if (m_keyFilling || m_store.container().isInMemory())
        return;
    // A damaged file is set aside as it was found: nothing more is written into it. Nor into a
    // store file deleted or replaced until the guard has put the history back at its path, nor
    // while saves are held (its lock lost, or the history copied whole back to its path).
    if (m_store.isBeingRepaired() || m_store.savesHeld() || !m_store.fileGuard().holdsFileAtPath()) {
        m_keyFill.start(keyFillRetry);
        return;
    }
    m_keyFilling = true;
    struct Filled {
        bool ok = false, done = false;
        QString error;
    };
    inBackground(
        this,
        [path = m_store.container().storeURL()] {
            Filled filled;
            filled.ok = StoreSearchKeys::fillSliceOf(path, keyFillSlice, &filled.done, &filled.error);
            return filled;
        },
        [this, path = m_store.container().storeURL()](const Filled &filled) {
            m_keyFilling = false;
            if (path != m_store.container().storeURL() || m_store.container().isInMemory()) {
                if (!m_store.container().isInMemory() && !m_keyFill.isActive())
                    m_keyFill.start(keyFillDelay);
                return;
            }
            if (!filled.ok) {
                // A save holds the store, or it is busy elsewhere: later. Searches fold what has no key.
                qCWarning(lcStore, "Could not give clips their search keys yet: %s", qPrintable(filled.error));
                m_keyFill.start(keyFillRetry);
            } else if (!filled.done) {
                m_keyFill.start(keyFillPause);
            }
        });
}

ClipSnapshot ClipStoreHistory::snapshotOf(const ClipItem &clip)
{
    ClipSnapshot s;
    s.id = clip.persistentModelID();
    s.dedupID = clip.dedupID();
    s.createdAt = clip.createdAt();
    s.kindRawValue = clip.kindRawValue();
    s.text = clip.text();
    s.customTitle = clip.customTitle();
    s.fileName = clip.fileName();
    s.linkTitle = clip.linkTitle();
    s.recognizedText = clip.recognizedText();
    s.sourceAppName = clip.sourceAppName();
    s.sourceAppBundleID = clip.sourceAppBundleID();
    s.isPinned = clip.isPinned();
    s.isSavedToPage = clip.isSavedToPage();
    if (const PageRef &page = clip.pinboard(); page && !page->isDeleted())
        s.pageID = page->persistentModelID();
    s.hasImageData = clip.hasImageData();
    if (s.hasImageData)
        s.contentHash = clip.contentHash();
    s.primaryText = primaryText(clip);
    return s;
}

PageSnapshot ClipStoreHistory::snapshotOf(const Pinboard &page)
{
    return PageSnapshot{page.persistentModelID(), page.dedupID(),  page.name(),
                        page.colorName(),         page.iconName(), page.isLocked()};
}

std::vector<PageSnapshot> ClipStoreHistory::pageSnapshots() const
{
    std::vector<PageSnapshot> out;
    for (const PageRef &page : m_store.pages()) {
        if (!page->isDeleted())
            out.push_back(snapshotOf(*page));
    }
    return out;
}

HistorySnapshot ClipStoreHistory::snapshot() const
{
    HistorySnapshot out;
    const std::vector<ClipRef> clips = m_store.historyNewestFirst();
    out.clips.reserve(clips.size());
    for (const ClipRef &clip : clips) {
        if (!clip->isDeleted())
            out.clips.push_back(snapshotOf(*clip));
    }
    out.pages = pageSnapshots();
    return out;
}

HistorySnapshot ClipStoreHistory::newestSnapshot(int count, const std::vector<QUuid> &alsoDedupIDs) const
{
    ModelContext &context = m_store.context();
    // One more than asked tells whether there are more.
    std::vector<ClipRef> newest =
        context.fetchClips({.order = ClipQuery::Order::newestFirst, .limit = qsizetype(std::max(count, 0)) + 1});
    HistorySnapshot out;
    out.pages = pageSnapshots();
    const bool whole = qsizetype(newest.size()) <= count;
    if (!whole)
        newest.pop_back();
    std::unordered_set<const ClipItem *> taken; // unsaved clips share row id 0
    for (const ClipRef &clip : newest) {
        if (clip->isDeleted())
            continue;
        out.clips.push_back(snapshotOf(*clip));
        taken.insert(clip.get());
    }
    if (whole)
        return out;
    out.newestCount = int(out.clips.size());
    // Answered by the partial index on Pages; no order asked, so no walk through every date.
    std::vector<ClipRef> older =
        context.fetchClips({QStringLiteral("pinboardID IS NOT NULL"), {}, [](const ClipItem &clip) {
                                return clip.pinboard() != nullptr;
                            }});
    for (const QUuid &id : alsoDedupIDs)
        if (ClipRef clip = context.clipWithDedupID(id))
            older.push_back(std::move(clip));
    std::vector<ClipSnapshot> extra;
    for (const ClipRef &clip : older) {
        if (!clip->isDeleted() && taken.insert(clip.get()).second)
            extra.push_back(snapshotOf(*clip));
    }
    std::sort(extra.begin(), extra.end(), [](const ClipSnapshot &a, const ClipSnapshot &b) {
        return a.createdAt != b.createdAt ? a.createdAt > b.createdAt : a.id.rowID > b.id.rowID;
    });
    std::move(extra.begin(), extra.end(), std::back_inserter(out.clips));
    return out;
}

namespace {

ClipSnapshot savedSnapshotOf(const storerow::Clip &row, const QString &clipEntity, const QString &pageEntity)
{
    ClipSnapshot s;
    s.id = {clipEntity, row.row};
    s.dedupID = QUuid(row.dedupID);
    s.createdAt = QDateTime::fromMSecsSinceEpoch(row.createdAt, Qt::UTC);
    s.kindRawValue = row.kind;
    s.text = row.text;
    s.customTitle = row.customTitle;
    s.fileName = row.fileName;
    s.linkTitle = row.linkTitle;
    s.recognizedText = row.recognizedText;
    s.sourceAppName = row.sourceAppName;
    s.sourceAppBundleID = row.sourceAppBundleID;
    s.isPinned = row.isPinned;
    s.isSavedToPage = row.isSavedToPage;
    if (row.pageRow)
        s.pageID = PersistentIdentifier{pageEntity, *row.pageRow};
    s.hasImageData = row.imageSize > 0;
    if (s.hasImageData)
        s.contentHash = row.contentHash;
    s.primaryText = primaryText(s.kind(), s.text, s.recognizedText);
    return s;
}

// Reads a kept connection's keys into its cache on the pool. Qt's pool hands the task over under
// locks of its own, hidden from a thread-checking build: the task states the hand-over itself.
class WarmKeys : public QRunnable {
public:
    explicit WarmKeys(std::shared_ptr<SearchReader> reader) : m_reader(std::move(reader)) {}
    void run() override
    {
        takeOver(this);
        m_reader->warm();
        // Each save drops the cache. Where the process has no page memory of its own (see
        // reserveSqlitePageMemory), a warming on whichever thread of the pool reads it again into
        // that thread's heap: what the last one held goes back to the system now, or every
        // thread's heap would come to keep a cache's worth while copies go on being saved.
        malloc_trim(0);
    }

private:
    std::shared_ptr<SearchReader> m_reader;
};

// Walks the clips of a store file newest first whose keys hold every word (or with `holding`
// false miss one), handing each to `offer` with whether its key was stored, until `offer`
// answers false. The keys find the row ids; only those clips are read whole, a few at a time,
// so that a walk ends soon after its taker is satisfied. False when the read failed or stopped.
bool walkClips(SearchReader &reader, const SearchQuery &words, bool holding, const std::atomic<bool> &stop,
               const std::function<bool(ClipSnapshot, bool keyed)> &offer)
{
    const QString clipEntity = StoreRows::of(Entity::clip).name, pageEntity = StoreRows::of(Entity::page).name;
    QString error;
    const bool answered = reader.read(
        stop,
        [&](SearchReader::Read &read) {
            struct Found {
                qint64 row;
                bool keyed;
                QByteArray key;
            };
            std::vector<Found> batch;
            bool done = false, failed = false;
            const auto flush = [&] {
                std::vector<qint64> rows;
                rows.reserve(batch.size());
                for (const Found &found : batch)
                    rows.push_back(found.row);
                std::unordered_map<qint64, ClipSnapshot> clips;
                failed = !read.clipsWithRows(rows, [&](const storerow::Clip &row) {
                    clips.emplace(row.row, savedSnapshotOf(row, clipEntity, pageEntity));
                });
                for (Found &found : batch) {
                    auto it = failed || done ? clips.end() : clips.find(found.row);
                    if (it == clips.end())
                        continue;
                    it->second.searchKey = std::move(found.key);
                    done = !offer(std::move(it->second), found.keyed);
                }
                batch.clear();
                return !failed && !done;
            };
            const bool walked = read.matchesNewestFirst(
                words.words(),
                [&](qint64 row, bool keyed, const QByteArray &key) {
                    batch.push_back({row, keyed, key});
                    return batch.size() < 64 || flush();
                },
                holding);
            if (walked && !done && !failed && !batch.empty())
                flush();
            return walked && !failed;
        },
        &error);
    // The panel keeps what it shows; the reason is only here.
    if (!error.isEmpty())
        qCWarning(lcStore, "Could not search the stored history: %s", qPrintable(error));
    return answered;
}

} // namespace

HistoryStore::SearchRead ClipStoreHistory::searchRead() const
{
    if (m_store.container().isInMemory())
        return {};
    return [path = m_store.container().storeURL(), kept = m_keptReader](
               const HistorySearch &search, const std::atomic<bool> &stop) -> std::optional<HistorySearchAnswer> {
        const std::shared_ptr<SearchReader> reader = kept ? kept : std::make_shared<SearchReader>(path);
        SearchCollector collect(search);
        if (!walkClips(*reader, collect.words(), true, stop,
                       [&](ClipSnapshot clip, bool) { return collect.offer(std::move(clip)); }))
            return std::nullopt;
        // The next keys of a search will likely look through every key: they are read into the
        // kept cache now, between keystrokes, giving way to any key typed meanwhile.
        if (kept && kept->claimWarming()) {
            auto *task = new WarmKeys(kept); // the pool deletes it once it has run
            handOver(task);
            QThreadPool::globalInstance()->start(task);
        }
        return collect.take();
    };
}

void ClipStoreHistory::keepSearchReads(bool keep)
{
    m_keepReads = keep;
    if (keep) {
        if (!m_keptReader && !m_store.container().isInMemory())
            m_keptReader = std::make_shared<SearchReader>(m_store.container().storeURL(), searchCacheBytes);
        return;
    }
    if (!m_keptReader)
        return;
    m_keptReader->letGo();
    // Closing frees the cache and waits for no read: the last search still using it closes it.
    inBackground(
        this,
        [reader = std::move(m_keptReader)]() mutable {
            reader.reset();
            return true;
        },
        [](bool) {});
}

HistoryStore::DocumentsRead ClipStoreHistory::semanticDocumentsRead() const
{
    if (m_store.container().isInMemory())
        return {};
    return [path = m_store.container().storeURL()](const SemanticCandidates &candidates, const std::atomic<bool> &stop,
                                                   const SemanticScorer::DocumentBatch &batch) -> bool {
        const SearchQuery words(candidates.query);
        const qsizetype batchSize = std::max<qsizetype>(1, candidates.batchSize);
        std::vector<SemanticDocument> documents;
        bool wanted = true;
        const auto handOver = [&] {
            wanted = batch(std::exchange(documents, {}));
            return wanted;
        };
        const auto hidden = [&](const ClipSnapshot &clip) {
            return clip.pageID
                && std::find(candidates.hiddenPageRows.begin(), candidates.hiddenPageRows.end(), clip.pageID->rowID)
                != candidates.hiddenPageRows.end();
        };
        // A connection of its own, without the kept cache: this walk reads every clip, and the
        // engine weighs each batch while the panel's keys go on being answered through the kept one.
        SearchReader reader(path);
        const bool walked = walkClips(reader, words, false, stop, [&](ClipSnapshot clip, bool keyed) {
            // The literal matches are on screen already; a clip without a stored key is folded here.
            if ((keyed || !words.matches(searchKeyOf(clip))) && matchesFilters(clip, candidates.filters, candidates.now)
                && !hidden(clip))
                documents.push_back({clip.id, semanticText(clip, candidates.documentLength)});
            return qsizetype(documents.size()) < batchSize || handOver();
        });
        if (!walked || !wanted)
            return false;
        return documents.empty() || handOver();
    };
}

namespace {

// Hands the saved clips of `rows` to `each`, one at a time, through a connection of its own.
bool readClipRows(const QString &path, const std::vector<qint64> &rows, const std::atomic<bool> &stop,
                  const StoreReader::Each<storerow::Clip> &each, bool keysOnly = false)
{
    SearchReader reader(path);
    QString error;
    if (reader.read(
            stop, [&](SearchReader::Read &read) { return read.clipsWithRows(rows, each, keysOnly); }, &error))
        return true;
    if (!stop)
        qCWarning(lcStore, "Could not read clips of the stored history: %s", qPrintable(error));
    return false;
}

} // namespace

HistoryStore::ClipsRead ClipStoreHistory::clipsRead() const
{
    if (m_store.container().isInMemory())
        return {};
    return [path = m_store.container().storeURL()](
               const std::vector<qint64> &rows) -> std::optional<std::vector<ClipSnapshot>> {
        const QString clipEntity = StoreRows::of(Entity::clip).name, pageEntity = StoreRows::of(Entity::page).name;
        std::vector<ClipSnapshot> clips;
        const std::atomic<bool> never = false;
        if (!readClipRows(path, rows, never, [&](const storerow::Clip &row) {
                clips.push_back(savedSnapshotOf(row, clipEntity, pageEntity));
                clips.back().searchKey = searchKeyOf(clips.back());
            }))
            return std::nullopt;
        std::sort(clips.begin(), clips.end(), [](const ClipSnapshot &a, const ClipSnapshot &b) {
            return a.createdAt != b.createdAt ? a.createdAt > b.createdAt : a.id.rowID > b.id.rowID;
        });
        return clips;
    };
}

HistoryStore::RelatedKeysRead ClipStoreHistory::relatedKeysRead() const
{
    if (m_store.container().isInMemory())
        return {};
    return
        [path = m_store.container().storeURL()](
            const std::vector<qint64> &rows, const std::atomic<bool> &stop) -> std::optional<std::vector<RelatedKey>> {
            const QString clipEntity = StoreRows::of(Entity::clip).name;
            std::vector<RelatedKey> keys;
            keys.reserve(rows.size());
            if (!readClipRows(
                    path, rows, stop,
                    [&](const storerow::Clip &row) {
                        keys.push_back({{clipEntity, row.row}, QUuid(row.dedupID), row.pageRow});
                    },
                    true))
                return std::nullopt;
            std::unordered_map<qint64, size_t> order;
            order.reserve(rows.size());
            for (size_t i = 0; i < rows.size(); ++i)
                order.emplace(rows[i], i);
            std::sort(keys.begin(), keys.end(),
                      [&](const RelatedKey &a, const RelatedKey &b) { return order[a.id.rowID] < order[b.id.rowID]; });
            return keys;
        };
}

HistoryStore::NamesRead ClipStoreHistory::sourceAppNamesRead() const
{
    if (m_store.container().isInMemory())
        return {};
    return [path = m_store.container().storeURL()]() -> std::optional<QStringList> {
        StoreReader reader(path);
        QStringList names;
        if (!reader.isOpen() || !reader.sourceAppNames([&](const QString &name) { names << name; }))
            return std::nullopt;
        return names;
    };
}

qsizetype ClipStoreHistory::clipCount() const
{
    return m_store.context().countClips({.matches = [](const ClipItem &clip) { return !clip.isDeleted(); }});
}

PageRef ClipStoreHistory::findPage(const PersistentIdentifier &id) const
{
    for (const PageRef &page : m_store.pages()) {
        if (page->persistentModelID() == id && !page->isDeleted())
            return page;
    }
    return nullptr;
}

bool ClipStoreHistory::verifyPageLock(const PersistentIdentifier &page, const QString &password)
{
    const PageRef found = findPage(page);
    return found && m_store.verifyPageLock(found, password);
}

bool ClipStoreHistory::insertManualClip(const CapturedContent &content, const std::optional<PersistentIdentifier> &page)
{
    // A Page that is gone by now sends the clip to the history, as an unselected Page would.
    const PageRef target = page ? findPage(*page) : nullptr;
    return m_store.insertManualClip(content, target, std::nullopt) != nullptr;
}

} // namespace quillmere
