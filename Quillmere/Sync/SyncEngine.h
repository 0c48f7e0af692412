#pragma once

#include "Quillmere/Model/Records.h"
#include "Quillmere/Sync/SyncEvent.h"
#include "Quillmere/Sync/SyncTransfer.h"

#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QObject>
#include <QSet>
#include <QTimer>
#include <atomic>
#include <memory>

namespace quillmere {

class ClipStore;

// Mirrors the store into the replicated folder and takes in what other devices wrote there.
// Exports follow saves (debounced); imports follow the folder watch and a periodic rescan. Both
// read and write files off the main thread; records are applied to the store here, on the main
// thread, the newer version winning (modifiedAt, then device id).
class SyncEngine : public QObject {
    Q_OBJECT
public:
    struct Options {
        QString root;   // the folder the user chose
        QString device; // this device's id
        int exportDelayMs = 1000;
        int importDelayMs = 300;
        int rescanIntervalMs = 30000;
        int compactAfter = 64;
    };

    SyncEngine(ClipStore &store, Options options, QObject *parent = nullptr);
    ~SyncEngine() override;

    // Prepares the folder and the store's bookkeeping, then exports and imports once. False when
    // the store is not a file or its bookkeeping cannot be kept; a missing folder is retried.
    bool start();
    void stop();
    bool isRunning() const { return m_running; }

    void scheduleExport();
    void scheduleImport();
    // No transfer running or waiting.
    bool isIdle() const;
    bool isFolderAvailable() const { return m_available; }
    // Change folders of other devices watched.
    int watchedDevices() const { return int(m_watched.size()) - int(m_watched.contains(QString())); }
    static constexpr int sliceMs = 4;
    static constexpr qint64 sliceBytes = 1024 * 1024;
    // A date further ahead than this is taken as the time of import.
    static constexpr qint64 maxFutureMs = 24 * 60 * 60 * 1000;
    const Options &options() const { return m_options; }

Q_SIGNALS:
    void event(const SyncEvent &event);
    // The folder appeared or vanished.
    void availabilityChanged(bool available);
    // A transfer ended and nothing else waits.
    void becameIdle();
    // Records of other devices were applied to the store.
    void imported(int records);

private:
    struct Version {
        qint64 modifiedAt = 0;
        QString device;
        qint64 localModifiedAt = 0;
        bool deleted = false;
    };

    void startExport();
    void startImport();
    void finishExport(const ExportResult &result);
    // Applies what was read in slices of a few milliseconds, the rest in later turns of the event
    // loop, each slice saved with its bookkeeping.
    void finishImport(ImportResult result);
    void applySlice();
    void endImport();
    struct ImportedRecord {
        const SyncRecord *record;
        size_t batch;  // index into the import's batches
        qint64 source; // the file it came from
        bool reread;   // that file was read before and held back
    };
    struct AppliedRecord {
        SyncRecord record;
        std::shared_ptr<PersistentModel> model; // null for a deletion
        bool written = false;                   // changed by this import, saved with it
    };
    using Applied = std::vector<AppliedRecord>;
    struct ApplyRun {
        ImportResult result;
        std::vector<ImportedRecord> records;
        size_t next = 0;
        // Versions taken earlier in this import.
        QHash<QString, std::pair<qint64, QString>> taken;
        int count = 0;
    };
    // Takes the record when it is newer than what the store has; false when it is not taken.
    bool applyOne(ApplyRun &run, const ImportedRecord &imported, Applied &chunk);
    // Saves the store with the versions of `chunk` (and the read progress of `batches`) in one
    // transaction; memory follows only a commit.
    bool commit(const Applied &chunk, const std::vector<ImportBatch> *batches);
    // False for a clip filed into a Page this store neither has nor saw deleted.
    bool pageResolves(const SyncRecord &r);
    // Taken from its file on an earlier pass.
    bool isStored(const SyncRecord &r) const;
    const QHash<QString, qint64> &localDeletions();
    // None when the record was not taken; a null record for a deletion.
    std::optional<std::shared_ptr<PersistentModel>> applyRecord(const SyncRecord &r);
    std::optional<std::pair<qint64, QString>> currentVersion(const SyncRecord &r);
    void saveExportProgress();
    void checkAvailability();
    // Watches the change folder of each device not watched yet.
    void watchDevices(const QStringList &devices);
    void emitEvent(SyncEvent::Type type, std::optional<bool> succeeded, const QString &error = {});
    void maybeIdle();
    QString meta(const QString &key) const;

    ClipStore &m_store;
    Options m_options;
    bool m_running = false;
    bool m_available = false;
    bool m_exporting = false;
    bool m_importing = false;
    bool m_exportAgain = false;
    bool m_quietExport = false;   // the next export is the periodic look
    bool m_exportQuietly = false; // the running one is
    bool m_importAgain = false;
    bool m_importFailed = false; // the last import told of a failure
    QTimer m_exportTimer;
    QTimer m_importTimer;
    QTimer m_rescanTimer;
    QFileSystemWatcher m_watcher;
    ExportProgress m_exportProgress;
    QHash<QString, DeviceProgress> m_importProgress;
    QHash<QString, Version> m_versions;
    std::optional<QHash<QString, qint64>> m_localDeletions;
    std::optional<ImportResult> m_deferredImport;
    std::unique_ptr<ApplyRun> m_apply;
    std::shared_ptr<std::atomic_bool> m_cancelled = std::make_shared<std::atomic_bool>(false);
    QSet<QString> m_watched;
    QMetaObject::Connection m_saveConnection;
};

} // namespace quillmere
