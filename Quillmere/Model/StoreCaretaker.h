#pragma once

#include "Quillmere/Model/ModelContainer.h"

#include <QObject>
#include <QString>
#include <QTimer>
#include <set>

namespace quillmere {

class ClipStore;

// Store trouble the user should hear of.
struct StoreTrouble {
    enum class Kind { storeMovedAside, memoryOnlySession, saveFailed };
    Kind kind;
    // storeMovedAside: where the unreadable store now lies.
    QString path = {};
    // saveFailed: the disk had no room.
    bool diskFull = false;

    // The words for the user.
    QString message() const;
};

// Tells of store trouble once per kind and session, and brings the history back to disk: changes
// a save could not write are tried again on a back-off (and with every save meanwhile), and a
// history kept in memory reopens its store file on a back-off and moves into it once it can.
class StoreCaretaker : public QObject {
    Q_OBJECT
public:
    static constexpr int firstRetryMs = 5 * 1000;
    static constexpr int longestRetryMs = 5 * 60 * 1000;

    StoreCaretaker(ClipStore &store, const PersistenceSetup &setup, QObject *parent = nullptr);
    ~StoreCaretaker() override;

    // Tells of the trouble met while opening and starts what it calls for.
    void start();
    void setRetryDelays(int firstMs, int longestMs);

    bool isMemoryOnly() const { return !m_storePath.isEmpty(); }

Q_SIGNALS:
    void troubleOccurred(const quillmere::StoreTrouble &trouble);

private:
    void report(const StoreTrouble &trouble);
    void scheduleRetry();
    void retry();
    bool tryStoreFile();

    ClipStore &m_store;
    QString m_movedAsidePath;
    // The store file to go back to while the history is kept in memory.
    QString m_storePath;
    QTimer m_retry;
    int m_firstRetryMs = firstRetryMs;
    int m_longestRetryMs = longestRetryMs;
    int m_nextRetryMs = firstRetryMs;
    std::set<StoreTrouble::Kind> m_reported;
};

} // namespace quillmere
