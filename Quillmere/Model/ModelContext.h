#pragma once

#include "Quillmere/Model/Records.h"
#include "Quillmere/Platform/Core/Clock.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace quillmere {

// A question about clips, answered from the store and from the changes not saved yet alike.
struct ClipQuery {
    // By date (the history's order), or by captureOrder (the history limit's).
    enum class Order { none, newestFirst, oldestFirst, firstCapturedFirst, lastCapturedFirst };
    // A condition on the clips table (empty for every clip) with its bound values, and the same
    // condition on a clip in memory.
    QString where;
    QVariantList values;
    std::function<bool(const ClipItem &)> matches;
    Order order = Order::none;
    qsizetype limit = -1; // none when negative
};

// A row of the store, by its kind and id.
struct StoredRow {
    Entity entity = Entity::clip;
    qint64 rowID = 0;
};

// The live records of one database connection. Pages, settings and brands are loaded at once; clips
// load when a question asks for them and stay in memory while someone holds them or while they
// have unsaved changes, so a history of any length costs little memory. A record is in memory at
// most once (keyed by its row id), so two fetches give the same object; image and file bytes load
// on first read. Changes stay in memory until save(), which writes them in one transaction.
class ModelContext {
public:
    ModelContext(QSqlDatabase db, Clock clock);
    ~ModelContext();
    ModelContext(const ModelContext &) = delete;
    ModelContext &operator=(const ModelContext &) = delete;

    bool load(QString *error);

    // Clips.
    std::vector<ClipRef> fetchClips(const ClipQuery &query) const;
    qsizetype countClips(const ClipQuery &query) const;
    // Every clip in turn, read one at a time: those `f` does not keep are let go again.
    void forEachClip(const std::function<void(const ClipRef &)> &f) const;
    std::vector<ClipRef> allClips() const;
    std::vector<ClipRef> clipsNewestFirst() const;
    std::vector<ClipRef> clipsWithHash(const QString &hash) const; // newest first
    ClipRef newestClipWithHash(const QString &hash) const;
    ClipRef newestClip() const;
    // The highest captureOrder of the history, 0 when it is empty.
    qint64 lastCaptureOrder() const;
    ClipRef clipWithDedupID(const QUuid &id) const;
    ClipRef clip(const PersistentIdentifier &id) const;
    // Clips whose expiry is at or before `date`.
    std::vector<ClipRef> clipsExpiringBy(const QDateTime &date) const;
    // The content hashes more than one clip has.
    QStringList sharedContentHashes() const;
    // Each source application's bundle identifier with the name its newest clip gave, newest first.
    std::vector<std::pair<QString, std::optional<QString>>> sourceAppsNewestFirst() const;
    qsizetype clipCount() const;

    // Pages, by sort order then creation date.
    std::vector<PageRef> pinboards() const;
    PageRef pinboardWithDedupID(const QUuid &id) const;
    std::vector<ClipRef> itemsOf(const Pinboard *page) const;

    std::vector<SettingsRef> appSettings() const;
    std::vector<BrandRef> sourceAppBrands() const;
    BrandRef sourceAppBrand(const QString &bundleID) const;

    void insert(const ClipRef &clip);
    void insert(const PageRef &page);
    void insert(const SettingsRef &settings);
    void insert(const BrandRef &brand);
    void remove(const std::shared_ptr<PersistentModel> &record);

    // Why the last save() failed. A store that is full, locked by another process or cannot be
    // written now may take the same changes later; a rejected change will not be taken however
    // often it is tried.
    enum class SaveFailure { none, diskFull, locked, unavailable, rejected };
    SaveFailure lastSaveFailure() const { return m_lastSaveFailure; }

    // Takes over every record of `other`, whose store could not be kept, as changes of this one
    // waiting for save(); records whose deletion was pending stay deleted. They remain the same
    // objects, so whoever holds one keeps it. A brand this store already has stays this store's.
    void adoptRecordsOf(ModelContext &other);

    // A statement met a damaged store file (SQLite's corrupt or not-a-database errors), not a
    // refused change. `onDamage` is called once, when it is first met.
    bool damageFound() const { return m_damageFound; }
    void setDamageHandler(std::function<void()> onDamage) { m_onDamage = std::move(onDamage); }
    // Called after each save's commit.
    void setCommitHandler(std::function<void()> onCommit) { m_onCommit = std::move(onCommit); }
    // Damage another connection to the same file met (see StoreDamage), taken as this context's own.
    void noteDamage() const;
    // Notes an error a statement on the store met, telling damage apart from other errors.
    void noteError(const QSqlError &error) const;

    // Keeps the next `count` row ids of `entity` from this context's new records, for another
    // connection to the same store to write; the first of them.
    qint64 reserveRows(Entity entity, qint64 count);
    // New records of `entity` take ids from `first` on, whatever rows this context has read: rows
    // reserved by another context.
    void useRowsFrom(Entity entity, qint64 first);
    // Reads back `rows` another connection wrote: a record held here with a change not saved yet
    // keeps it (it is newer, and its save writes it over the row); a Page or brand not held yet is
    // loaded; clips load when asked for, as ever.
    void takeRowsWrittenElsewhere(const std::vector<StoredRow> &rows);

    bool hasChanges() const;
    // Grows with every insert, delete, field change, load and rollback (a save leaves it alone),
    // so a reader can tell whether anything moved since it last looked.
    quint64 changeCount() const { return m_changeCount; }
    bool hasChanges(const PersistentModel &record) const;
    // One transaction. On failure nothing is written and the changes stay pending. `beforeCommit`
    // writes rows of its own into the same transaction (given the save time); false rolls back.
    bool save(QString *error = nullptr, const std::function<bool(qint64 saveTime)> &beforeCommit = {});
    // Saves the pending deletions and at most `maxRecords` of the inserted and changed records
    // (Pages first), in one transaction: on a disk with a little room, part goes in where the
    // whole would not. The rest stays pending.
    bool savePart(size_t maxRecords, QString *error = nullptr);
    // Saves the pending deletions, then at most `maxRecords` of the inserted and changed records,
    // each in a transaction of its own, smallest first (Pages first), until one fails: on a nearly
    // full disk what fits goes in, and a record too large to fit holds back none smaller. Returns
    // how many records were saved; lastSaveFailure() tells why it stopped short.
    size_t saveWhatFits(size_t maxRecords, QString *error = nullptr);
    // Inserted and changed records not saved yet.
    std::vector<std::shared_ptr<PersistentModel>> unsavedRecords() const;
    // Drops every pending change: inserted records go, changed ones read back their stored values,
    // deleted ones return.
    void rollback();

    QSqlDatabase database() const { return m_db; }
    // For a store file written again at its path: lets go of the file, then opens the path anew.
    // The records in memory and the pending changes stay. A file gone from the path is not made anew,
    // and one `isWanted` turns down is closed again before anything is written to it.
    void closeConnection();
    bool reopenConnection(QString *error, const std::function<bool()> &isWanted = {});
    // For tests and maintenance: the deletions recorded for a later sync layer.
    std::vector<std::pair<QString, QUuid>> recordedDeletions() const;

private:
    friend class PersistentModel;
    // Every record lets go of this context, which is left empty.
    void letGoOfRecords();
    friend class ClipItem;
    void insertRecord(const std::shared_ptr<PersistentModel> &record);
    // Raises the capture orders of the clips among `records`, new to this history, past its own.
    void liftCaptureOrders(const std::vector<std::shared_ptr<PersistentModel>> &records, qint64 last);
    void markDirty(PersistentModel *record);
    void loadBlob(const ClipItem *clip, bool image) const;
    // The clip of a row read from the clips table: the one in memory, or a new one.
    ClipRef materialize(const QSqlQuery &q) const;
    // Inserted and changed clips, which answer from memory.
    std::vector<ClipRef> changedClips() const;
    // Their rows and those of clips deleted but not saved: what is stored for them is passed over.
    std::unordered_set<qint64> changedClipRows() const;
    QSqlQuery &clipQuery(const QString &sql, const QVariantList &values) const;
    PageRef pageWithRow(qint64 row) const;

    // Inserted and changed records, Pages first.
    std::vector<PersistentModel *> pendingRecords() const;
    // Writes the pending deletions and `records` in one transaction.
    bool saveRecords(std::vector<PersistentModel *> records, QString *error,
                     const std::function<bool(qint64 saveTime)> &beforeCommit);
    bool writeRecord(PersistentModel &record, bool isNew, QSqlError *error);
    // False with `error` unset when the row is not stored yet.
    bool updateRow(const PersistentModel &record, const QVariantList &values, QSqlError *error);
    bool deleteRecord(PersistentModel &record, QSqlError *error);
    bool reloadRecord(PersistentModel &record);
    void index(const std::shared_ptr<PersistentModel> &record);
    void detach(PersistentModel &record);
    // Records of an entity loaded whole at start, by row id.
    using HeldRecords = std::unordered_map<qint64, std::shared_ptr<PersistentModel>>;
    HeldRecords &held(Entity entity) { return m_held[size_t(entity)]; }
    const HeldRecords &held(Entity entity) const { return m_held[size_t(entity)]; }
    template <class R> std::vector<std::shared_ptr<R>> heldOf(Entity entity) const;

    QSqlDatabase m_db;
    Clock m_clock;
    // Clips in memory. Held strongly only by the change lists below and by whoever asked for them.
    mutable std::unordered_map<qint64, std::weak_ptr<ClipItem>> m_liveClips;
    mutable size_t m_liveClipsAfterSweep = 0;
    std::array<HeldRecords, 4> m_held;
    std::array<qint64, 4> m_nextRow{1, 1, 1, 1};
    qint64 m_saveTime = 0;
    quint64 m_changeCount = 0;
    SaveFailure m_lastSaveFailure = SaveFailure::none;
    mutable bool m_damageFound = false;
    std::function<void()> m_onDamage;
    std::function<void()> m_onCommit;

    std::vector<std::shared_ptr<PersistentModel>> m_inserted;
    std::unordered_map<PersistentModel *, std::shared_ptr<PersistentModel>> m_updated;
    std::vector<std::shared_ptr<PersistentModel>> m_deleted;
    std::unordered_map<QString, std::unique_ptr<QSqlQuery>> m_queries;
    QSqlQuery &prepared(const QString &sql);
};

} // namespace quillmere
