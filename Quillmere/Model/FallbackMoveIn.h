#pragma once

#include "Quillmere/Model/ModelContainer.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

namespace quillmere {

class ClipStore;

// Moves fallback stores into the store a slice at a time on the main thread, newest clips first,
// each slice committed to the store before it leaves the fallback store, which is removed once
// empty: a move cut short anywhere is taken up again by the next, losing and doubling nothing.
class FallbackMoveIn : public QObject {
    Q_OBJECT
public:
    static constexpr qsizetype sliceClips = 32;

    FallbackMoveIn(ClipStore &store, QStringList paths) : m_store(store), m_paths(std::move(paths)) {}
    // Begins, or goes on after a save failed.
    void start();
    // Ends it after the slice under way, for good: what moved stays moved, the rest waits in its file.
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
    bool open(const QString &path, QString *error);
    void slice();
    void stop(const QString &error);

    ClipStore &m_store;
    QStringList m_paths;
    std::unique_ptr<ModelContainer> m_fallback;
    qint64 m_lift = 0;
    int m_moved = 0;
    int m_slices = 0;
    bool m_running = false;
    bool m_cancelled = false;
    std::function<void()> m_sliceSaved;
};

} // namespace quillmere
