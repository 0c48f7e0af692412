#pragma once

#include "Quillmere/Sync/SyncFolder.h"

#include <QHash>
#include <QSet>
#include <QString>
#include <atomic>
#include <memory>
#include <vector>

namespace quillmere {

// The record types that travel, in the order they are applied (Pages before the clips in them);
// -1 for any other.
int syncTypeRank(const QString &type);

// What this device has written to its folder: every stored change up to `watermark` (the latest
// save time written, ms), deletions up to `deletionRow`, and the number the next file takes.
// Changes saved within `lookBackMs` before the watermark are looked at again, so a clock set back
// a little loses nothing; `recent` names those already written (id -> save time).
struct ExportProgress {
    static constexpr qint64 lookBackMs = 10 * 60 * 1000;
    qint64 watermark = -1;
    QHash<QString, qint64> recent;
    qint64 deletionRow = 0;
    qint64 nextNumber = 1;
};

struct ExportJob {
    QString storePath;
    QString root;
    QString device;
    ExportProgress progress;
    // Change files kept before they are folded into the snapshot.
    int compactAfter = 64;
};

struct ExportResult {
    bool ok = false;
    QString error;
    ExportProgress progress;
    int exported = 0;
};

// Runs off the main thread on a read-only connection of its own to the store file.
ExportResult runExport(const ExportJob &job);
// Folds this device's change files into one snapshot and drops the blobs nothing names any more.
bool compactDevice(const QString &root, const QString &device, QString *error);

// How far another device's files were applied: every number up to `last`, except `pending`
// (not arrived yet, unreadable, from a newer format, or waiting for a blob), which are tried again.
// The sync program delivers files in any order, so a number skipped over waits in `pending` until
// its file or a snapshot at or above it arrives.
struct DeviceProgress {
    qint64 last = 0;
    QSet<qint64> pending;
    // Files a pass's byte budget stopped inside: the record the next pass starts at. Those with an
    // earlier record held back are read whole once more when their rest is done. Not kept across
    // starts: such a file is then read from its start. A snapshot and the change file of its
    // number hold different records: the snapshot's key is the number negated.
    QHash<qint64, qsizetype> resumeAt;
    QSet<qint64> readAgain;
    static qint64 partKey(qint64 number, bool snapshot) { return snapshot ? -number : number; }
    bool operator==(const DeviceProgress &) const = default;
};

struct ImportJob {
    QString root;
    QString device;
    QHash<QString, DeviceProgress> progress;
    // What one pass holds in memory, files and blobs together: what is past it waits for the next
    // pass, also within one file.
    qint64 maxBytesPerPass = 64 * 1024 * 1024;
    int maxFilesPerPass = 1000;
    int maxRecordsPerPass = 20000;
    // Set when the engine stops: the pass ends after the file it is reading.
    std::shared_ptr<std::atomic_bool> cancelled;
};

struct ImportBatch {
    QString device;
    std::vector<SyncRecord> records; // in the order they were written, blobs read and checked
    std::vector<qint64> sources;     // the number of the file each record came from
    DeviceProgress progress;
};

struct ImportResult {
    bool ok = true;
    QString error;
    std::vector<ImportBatch> batches;
    bool more = false;   // stopped at a bound with files still unread
    QStringList devices; // the other devices' folders seen
};

// Reads what other devices wrote since `progress`, off the main thread.
ImportResult runImport(const ImportJob &job);

} // namespace quillmere
