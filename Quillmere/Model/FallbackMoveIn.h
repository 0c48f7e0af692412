#pragma once

#include "Quillmere/Model/ModelContainer.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <atomic>
#include <functional>
#include <memory>

namespace quillmere {

class ClipStore;

// Moves fallback stores into the store a slice at a time on the main thread, newest clips first,
// each slice committed to the store and synced before it leaves the fallback store, which is
// removed once empty: a move cut short anywhere is taken up again by the next, losing and doubling
// nothing. Only into the file at the store's path: a store file deleted or replaced meanwhile
// takes nothing more.
class FallbackMoveIn : public QObject {
    Q_OBJECT
public:
    static constexpr qsizetype sliceClips = 32;

    FallbackMoveIn(ClipStore &store, QStringList paths);
    // Begins, or goes on after a save failed.
    void start();
    // Ends it at once, for good, before any step still due: what moved stays moved, the rest waits
    // in its file.
    void cancel();
    // Called each time a slice is committed, for a test that stops the process between steps.
    void setSliceSavedHook(std::function<void()> hook) { m_sliceSaved = std::move(hook); }

Q_SIGNALS:
    // Every fallback store has moved in, `moved` clips new to the store.
    void finished(int moved);
    // The store took no more for now (full, say); start() goes on later.
    void stopped(const QString &error);

private:
    void openNext();
    void opened(QString error);
    void slice();
    // The store has synced the slice of `records`: they leave the fallback store.
    void sliceSynced(const std::vector<std::shared_ptr<PersistentModel>> &records, bool last, int added);
    void next();
    void stop(const QString &error);
    bool storeAtItsPath() const;

    ClipStore &m_store;
    QStringList m_paths;
    const QString m_storePath;
    std::unique_ptr<ModelContainer> m_fallback;
    // Set by cancel(): work on a worker ends at its next step.
    std::shared_ptr<std::atomic<bool>> m_cancelledShared = std::make_shared<std::atomic<bool>>(false);
    qint64 m_lift = 0;
    int m_moved = 0;
    int m_slices = 0;
    bool m_running = false;
    bool m_cancelled = false;
    std::function<void()> m_sliceSaved;
};

} // namespace quillmere
