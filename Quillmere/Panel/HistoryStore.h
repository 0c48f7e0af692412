#pragma once

#include "Quillmere/Model/CapturedContent.h"
#include "Quillmere/Panel/PanelTypes.h"

#include <QObject>

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
