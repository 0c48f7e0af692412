#pragma once

#include "Quillmere/Model/CapturedContent.h"
#include "Quillmere/Panel/PanelTypes.h"
#include "Quillmere/Panel/SemanticSearch.h"
#include "Quillmere/Panel/SnapshotSearch.h"

#include <QObject>
#include <QStringList>
#include <QTimer>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>

namespace quillmere {

class ClipStore;
class SearchReader;

// What the history view reads from and asks of the clip store. The view keeps no live records:
// it works on snapshots and names clips and Pages by their persistent identifiers.
class HistoryStore : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // Every clip newest first and every Page in tab order.
    virtual HistorySnapshot snapshot() const = 0;
    // The newest `count` clips, then older ones on a Page or among `alsoDedupIDs`; every Page. The
    // whole history when it holds no more than `count` clips.
    virtual HistorySnapshot newestSnapshot(int count, const std::vector<QUuid> &alsoDedupIDs) const
    {
        Q_UNUSED(count);
        Q_UNUSED(alsoDedupIDs);
        return snapshot();
    }
    // Jobs that read what the store has saved on whatever thread runs them; none when the store can
    // only be read on its own thread. Each gives no value when the read failed.
    // A search gives up, with no value, soon after `stop` is set.
    using SearchRead =
        std::function<std::optional<HistorySearchAnswer>(const HistorySearch &search, const std::atomic<bool> &stop)>;
    using NamesRead = std::function<std::optional<QStringList>()>;
    // A search of every saved clip; its clips as `snapshot` has them, except that `pageID` names
    // the Page's row even when that Page is gone.
    virtual SearchRead searchRead() const { return {}; }
    // The documents for the semantic layer: the saved clips whose key misses a word of `query`
    // (its literal matches are on screen), that pass `filters` and are on no Page of
    // `hiddenPageRows`, newest first, handed to `batch` at most `batchSize` at a time. Gives false
    // when the read failed or was stopped.
    struct SemanticCandidates {
        QString query;
        ClipSearchFilters filters;
        QDateTime now;
        std::vector<qint64> hiddenPageRows;
        qsizetype documentLength = 0;
        qsizetype batchSize = SemanticSearch::batchSize;
    };
    using DocumentsRead = std::function<bool(const SemanticCandidates &candidates, const std::atomic<bool> &stop,
                                             const SemanticScorer::DocumentBatch &batch)>;
    virtual DocumentsRead semanticDocumentsRead() const { return {}; }
    // The saved clips of those rows, newest first, with their keys.
    using ClipsRead = std::function<std::optional<std::vector<ClipSnapshot>>(const std::vector<qint64> &rows)>;
    virtual ClipsRead clipsRead() const { return {}; }
    // What the related list keeps of the saved clips of those rows, in their order; rows no longer
    // saved are left out. Gives up, with no value, soon after `stop` is set.
    using RelatedKeysRead = std::function<std::optional<std::vector<RelatedKey>>(const std::vector<qint64> &rows,
                                                                                 const std::atomic<bool> &stop)>;
    virtual RelatedKeysRead relatedKeysRead() const { return {}; }
    // The distinct source-application names of every saved clip, as stored.
    virtual NamesRead sourceAppNamesRead() const { return {}; }
    // While kept (the panel shows), the searches share what they read the store through, left
    // open between them; once let go, it closes off this thread after the last of them.
    virtual void keepSearchReads(bool keep) { Q_UNUSED(keep); }
    // How many clips `snapshot` would give.
    virtual qsizetype clipCount() const { return qsizetype(snapshot().clips.size()); }
    virtual bool verifyPageLock(const PersistentIdentifier &page, const QString &password) = 0;
    // Stores a typed note or added file, on the Page when one is given; false when nothing was stored.
    virtual bool insertManualClip(const CapturedContent &content, const std::optional<PersistentIdentifier> &page) = 0;

Q_SIGNALS:
    // After every save that wrote something: clips or Pages may have come, gone or changed.
    void changed();
};

// The history view's store over the app's ClipStore.
class ClipStoreHistory : public HistoryStore {
    Q_OBJECT
public:
    // Search keys for older clips: a slice of rows a few milliseconds long on a worker, then a
    // pause for the store's own writes; the first a while after the start so that it costs the
    // start nothing.
    static constexpr std::chrono::milliseconds keyFillDelay{3000};
    static constexpr std::chrono::milliseconds keyFillPause{10};
    static constexpr std::chrono::milliseconds keyFillRetry{5000};
    static constexpr int keyFillSlice = 256;
    // The page cache of the kept search connection: the keys of a long history (about 400 bytes
    // a clip), which the searches after the first of a showing then find in memory.
    static constexpr qint64 searchCacheBytes = qint64(64) << 20;

    explicit ClipStoreHistory(ClipStore &store, QObject *parent = nullptr);

    HistorySnapshot snapshot() const override;
    HistorySnapshot newestSnapshot(int count, const std::vector<QUuid> &alsoDedupIDs) const override;
    SearchRead searchRead() const override;
    DocumentsRead semanticDocumentsRead() const override;
    ClipsRead clipsRead() const override;
    RelatedKeysRead relatedKeysRead() const override;
    NamesRead sourceAppNamesRead() const override;
    void keepSearchReads(bool keep) override;
    qsizetype clipCount() const override;
    bool verifyPageLock(const PersistentIdentifier &page, const QString &password) override;
    bool insertManualClip(const CapturedContent &content, const std::optional<PersistentIdentifier> &page) override;

    static ClipSnapshot snapshotOf(const ClipItem &clip);
    static PageSnapshot snapshotOf(const Pinboard &page);

private:
    std::vector<PageSnapshot> pageSnapshots() const;
    PageRef findPage(const PersistentIdentifier &id) const;
    // Gives the clips of a store from before the search keys theirs, a short slice at a time on a
    // worker, starting a while after the program did.
    void fillSearchKeys();
    // Fills the keys of, and searches, the store the history went on in.
    void followContainer();

    ClipStore &m_store;
    QTimer m_keyFill;
    bool m_keyFilling = false;
    std::shared_ptr<SearchReader> m_keptReader;
    // Searches were asked to keep their reader, which a history in memory cannot have yet.
    bool m_keepReads = false;
};

} // namespace quillmere
