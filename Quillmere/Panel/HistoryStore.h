#pragma once

#include "Quillmere/Model/CapturedContent.h"
#include "Quillmere/Panel/PanelTypes.h"

#include <QObject>
#include <QStringList>
#include <atomic>
#include <functional>
#include <optional>

namespace quillmere {

class ClipStore;

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
    // A clips read gives up, with no value, soon after `stop` is set.
    using ClipsRead = std::function<std::optional<std::vector<ClipSnapshot>>(const std::atomic<bool> &stop)>;
    using NamesRead = std::function<std::optional<QStringList>()>;
    // Every saved clip, newest first, as `snapshot` has it, except that `pageID` names the Page's
    // row even when that Page is gone.
    virtual ClipsRead wholeHistoryRead() const { return {}; }
    // The distinct source-application names of every saved clip, as stored.
    virtual NamesRead sourceAppNamesRead() const { return {}; }
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
    explicit ClipStoreHistory(ClipStore &store, QObject *parent = nullptr);

    HistorySnapshot snapshot() const override;
    HistorySnapshot newestSnapshot(int count, const std::vector<QUuid> &alsoDedupIDs) const override;
    ClipsRead wholeHistoryRead() const override;
    NamesRead sourceAppNamesRead() const override;
    qsizetype clipCount() const override;
    bool verifyPageLock(const PersistentIdentifier &page, const QString &password) override;
    bool insertManualClip(const CapturedContent &content, const std::optional<PersistentIdentifier> &page) override;

    static ClipSnapshot snapshotOf(const ClipItem &clip);
    static PageSnapshot snapshotOf(const Pinboard &page);

private:
    std::vector<PageSnapshot> pageSnapshots() const;
    PageRef findPage(const PersistentIdentifier &id) const;
    ClipStore &m_store;
};

} // namespace quillmere
