#include "Quillmere/Sync/SyncTransfer.h"

#include "Quillmere/Model/CapturedContent.h"
#include "Quillmere/Model/StoreReader.h"
#include "Quillmere/Sync/SyncLogging.h"
#include "Quillmere/Sync/SyncNames.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QUuid>
#include <algorithm>
#include <map>

namespace quillmere {

int syncTypeRank(const QString &type)
{
    // App brands stay: each desktop names and draws its own applications.
    static const QStringList types{SyncNames::appSettings, SyncNames::pinboard, SyncNames::clipItem};
    return int(types.indexOf(type));
}

namespace {

int typeRank(const QString &type)
{
    return syncTypeRank(type);
}

void putOptional(QJsonObject &o, const QString &key, const std::optional<QString> &v)
{
    if (v)
        o.insert(key, *v);
}

// Writes the blob once under its hash. One already there is complete when its size matches: a
// write that met a full disk could once leave an empty file under the name.
std::optional<QString> exportBlob(const ExportJob &job, StoreReader &store, storerow::Blob kind, qint64 row,
                                  QString *error)
{
    std::optional<QByteArray> bytes;
    if (!store.blob(kind, row, &bytes) || !bytes || bytes->isEmpty())
        return std::nullopt;
    const QString hash = SyncFolder::sha256Hex(*bytes);
    const QString path = SyncFolder::blobPath(job.root, job.device, hash);
    const QFileInfo existing(path);
    const bool complete = existing.isFile() && existing.size() == bytes->size();
    if (!complete && !SyncFolder::writeFileAtomically(path, *bytes, error))
        return QString();
    return hash;
}

// Numbers never go back, also when the folder was emptied: other devices read on from theirs.
qint64 nextNumber(const QString &root, const QString &device, qint64 kept)
{
    const std::vector<qint64> numbers = SyncFolder::changeNumbers(root, device);
    return std::max({numbers.empty() ? 0 : numbers.back(), SyncFolder::snapshotNumber(root, device), kept - 1}) + 1;
}

} // namespace

ExportResult runExport(const ExportJob &job)
{
    ExportResult result;
    result.progress = job.progress;
    auto fail = [&](const QString &why) {
        result.ok = false;
        result.error = why;
        return result;
    };
    QString error;
    if (!SyncFolder::prepareDevice(job.root, job.device, &error))
        return fail(error);
    ExportProgress from = job.progress;
    // A folder emptied or replaced gets everything again, as a snapshot once numbers went before
    // it: readers would otherwise wait for the lost ones.
    const bool emptied = SyncFolder::changeNumbers(job.root, job.device).empty()
        && SyncFolder::snapshotNumber(job.root, job.device) == 0;
    if (emptied)
        from = ExportProgress{.nextNumber = job.progress.nextNumber};
    StoreReader store(job.storePath);
    if (!store.isOpen())
        return fail(store.error());

    // Versions this device took from others: a row saved by that import is not a change of ours.
    QHash<QString, std::pair<qint64, bool>> imported;
    // Unread, every imported row would go back out as a change of ours.
    if (!store.syncVersions([&](const storerow::SyncVersion &v) {
            imported.insert(v.recordID, {v.localModifiedAt, v.deleted});
        }))
        return fail(store.error());
    auto isImported = [&](const QString &id, qint64 local, bool deleted) {
        auto it = imported.constFind(id);
        return it != imported.constEnd() && it->first == local && it->second == deleted;
    };

    const qint64 w = from.watermark < 0 ? -1 : from.watermark - ExportProgress::lookBackMs;
    qint64 newWatermark = from.watermark;
    QHash<QString, qint64> written = from.recent;
    std::vector<SyncRecord> records;
    // False for a change already written; every change looked at counts as written once the file is.
    auto consider = [&](const QString &id, qint64 modified) {
        const auto seen = from.recent.constFind(id);
        if (seen != from.recent.constEnd() && *seen == modified)
            return false;
        newWatermark = std::max(newWatermark, modified);
        written.insert(id, modified);
        return true;
    };
    // Rows an import wrote move the watermark on but are not remembered one by one: an import of
    // thousands would otherwise be carried in every progress note for the look-back period.
    auto importedRow = [&](const QString &id, qint64 modified) {
        if (!isImported(id, modified, false))
            return false;
        newWatermark = std::max(newWatermark, modified);
        return true;
    };
    auto local = [&](const QString &type, const QString &id, qint64 modified) {
        SyncRecord r;
        r.type = type;
        r.id = id;
        r.modifiedAt = modified;
        r.device = job.device;
        return r;
    };

    const bool settingsRead = store.settingsChangedSince(w, [&](const storerow::Settings &s) {
        if (importedRow(s.recordID, s.modifiedAt) || !consider(s.recordID, s.modifiedAt))
            return;
        SyncRecord r = local(SyncNames::appSettings, s.recordID, s.modifiedAt);
        r.fields = {{SyncNames::historyLimitValue, double(s.historyLimitValue)},
                    {SyncNames::updatedAt, double(s.updatedAt)}};
        records.push_back(std::move(r));
    });
    if (!settingsRead)
        return fail(store.error());

    const bool pagesRead = store.pagesChangedSince(w, [&](const storerow::Page &p) {
        if (importedRow(p.dedupID, p.modifiedAt) || !consider(p.dedupID, p.modifiedAt))
            return;
        SyncRecord r = local(SyncNames::pinboard, p.dedupID, p.modifiedAt);
        r.fields = {{SyncNames::name, p.name},
                    {SyncNames::colorName, p.colorName},
                    {SyncNames::iconName, p.iconName},
                    {SyncNames::sortOrder, double(p.sortOrder)},
                    {SyncNames::createdAt, double(p.createdAt)},
                    {SyncNames::lockSalt, p.lockSalt},
                    {SyncNames::lockHash, p.lockHash}};
        records.push_back(std::move(r));
    });
    if (!pagesRead)
        return fail(store.error());

    bool blobFailed = false;
    const bool clipsRead = store.clipsChangedSince(w, [&](const storerow::Clip &c) {
        if (blobFailed || importedRow(c.dedupID, c.modifiedAt) || !consider(c.dedupID, c.modifiedAt))
            return;
        SyncRecord r = local(SyncNames::clipItem, c.dedupID, c.modifiedAt);
        // Expiring clips (codes, passwords) never leave this device; one that gained an expiry
        // after it was written goes as deleted.
        if (c.expiresAt) {
            r.deleted = true;
            records.push_back(std::move(r));
            return;
        }
        QJsonObject f{
            {SyncNames::createdAt, double(c.createdAt)}, {SyncNames::kind, c.kind},
            {SyncNames::isPinned, c.isPinned},           {SyncNames::contentHash, c.contentHash.value()},
            {SyncNames::isSavedToPage, c.isSavedToPage}, {SyncNames::payloadByteCount, double(c.payloadByteCount)}};
        const std::pair<QLatin1StringView, const std::optional<QString> *> optional[] = {
            {SyncNames::text, &c.text},
            {SyncNames::fileName, &c.fileName},
            {SyncNames::fileTypeIdentifier, &c.fileTypeIdentifier},
            {SyncNames::customTitle, &c.customTitle},
            {SyncNames::recognizedText, &c.recognizedText},
            {SyncNames::sourceAppName, &c.sourceAppName},
            {SyncNames::sourceAppBundleID, &c.sourceAppBundleID},
            {SyncNames::linkTitle, &c.linkTitle},
            {SyncNames::page, &c.pageDedupID}};
        for (const auto &[key, value] : optional)
            putOptional(f, key, *value);
        for (const auto &[size, kind, key] : {std::tuple{c.imageSize, storerow::Blob::image, SyncNames::image},
                                              std::tuple{c.fileSize, storerow::Blob::file, SyncNames::file}}) {
            if (size <= 0)
                continue;
            const auto hash = exportBlob(job, store, kind, c.row, &error);
            if (hash && hash->isEmpty()) {
                blobFailed = true;
                return;
            }
            if (hash)
                f.insert(key, *hash);
        }
        r.fields = f;
        records.push_back(std::move(r));
    });
    if (blobFailed)
        return fail(error);
    if (!clipsRead)
        return fail(store.error());

    qint64 deletionRow = from.deletionRow;
    const bool deletionsRead = store.deletionsAfter(deletionRow, [&](const storerow::Deletion &d) {
        deletionRow = d.row;
        if (typeRank(d.entity) < 0 || isImported(d.recordID, d.deletedAt, true))
            return;
        SyncRecord r = local(d.entity, d.recordID, d.deletedAt);
        r.deleted = true;
        records.push_back(std::move(r));
    });
    if (!deletionsRead)
        return fail(store.error());

    // Pages before the clips that name them, whatever the order they changed in.
    std::stable_sort(records.begin(), records.end(),
                     [](const SyncRecord &a, const SyncRecord &b) { return typeRank(a.type) < typeRank(b.type); });
    qint64 next = from.nextNumber;
    // Written in parts well under what a reader takes in; the first part of an emptied folder is
    // the snapshot that stands for the numbers before it.
    std::vector<std::vector<SyncRecord>> parts(records.empty() ? 0 : 1);
    qint64 partBytes = 0;
    for (SyncRecord &r : records) {
        const qint64 size = QJsonDocument(r.toJson()).toJson(QJsonDocument::Compact).size();
        if (!parts.back().empty()
            && (partBytes + size > SyncFolder::exportFileBytes
                || qint64(parts.back().size()) >= SyncFolder::maxRecordsPerFile / 2)) {
            parts.emplace_back();
            partBytes = 0;
        }
        partBytes += size;
        parts.back().push_back(std::move(r));
    }
    for (size_t i = 0; i < parts.size(); ++i) {
        const qint64 number = nextNumber(job.root, job.device, next);
        next = number + 1;
        const bool asSnapshot = i == 0 && emptied && number > 1;
        const QByteArray bytes = SyncFolder::encode(job.device, number, asSnapshot, parts[i]);
        const QString path = asSnapshot ? SyncFolder::snapshotPath(job.root, job.device, number)
                                        : SyncFolder::changePath(job.root, job.device, number);
        if (!SyncFolder::writeFileAtomically(path, bytes, &error))
            return fail(error);
    }
    if (!parts.empty() && qint64(SyncFolder::changeNumbers(job.root, job.device).size()) > job.compactAfter
        && !compactDevice(job.root, job.device, &error))
        qCWarning(lcSync, "Could not compact the sync folder: %s", qPrintable(error));
    result.ok = true;
    result.exported = 0;
    for (const auto &part : parts)
        result.exported += int(part.size());
    for (auto it = written.begin(); it != written.end();)
        it = *it < newWatermark - ExportProgress::lookBackMs ? written.erase(it) : std::next(it);
    result.progress = {newWatermark, written, deletionRow, next};
    return result;
}

bool compactDevice(const QString &root, const QString &device, QString *error)
{
    const qint64 oldSnapshot = SyncFolder::snapshotNumber(root, device);
    const std::vector<qint64> numbers = SyncFolder::changeNumbers(root, device);
    if (numbers.empty())
        return true;
    std::map<std::pair<int, QString>, SyncRecord> latest;
    auto take = [&](const QString &path) {
        const auto bytes = SyncFolder::readRegularFile(path, SyncFolder::maxChangeFileBytes);
        SyncFolder::ChangeFile file;
        if (!bytes || SyncFolder::decode(*bytes, device, &file) != SyncFolder::ParseResult::ok)
            return false;
        for (SyncRecord &r : file.records) {
            auto key = std::pair{typeRank(r.type), r.id};
            auto it = latest.find(key);
            // Files are read oldest first: a later one of equal version is the later change.
            if (it == latest.end() || !it->second.isNewerThan(r.modifiedAt, r.device))
                latest[key] = std::move(r);
        }
        return true;
    };
    if (oldSnapshot > 0 && !take(SyncFolder::snapshotPath(root, device, oldSnapshot))) {
        *error = QStringLiteral("The snapshot of this device cannot be read");
        return false;
    }
    for (qint64 n : numbers)
        if (!take(SyncFolder::changePath(root, device, n))) {
            *error = QStringLiteral("Change file %1 of this device cannot be read").arg(n);
            return false;
        }
    std::vector<SyncRecord> records;
    QSet<QString> blobs;
    for (auto &[key, r] : latest) {
        for (const QLatin1StringView field : {SyncNames::image, SyncNames::file})
            if (r.fields.contains(field))
                blobs.insert(r.fields.value(field).toString());
        records.push_back(std::move(r));
    }
    const qint64 number = numbers.back();
    const QByteArray snapshot = SyncFolder::encode(device, number, true, records);
    // Readers would turn it down: the change files stay as they are.
    if (snapshot.size() > SyncFolder::maxChangeFileBytes || qint64(records.size()) > SyncFolder::maxRecordsPerFile)
        return true;
    if (!SyncFolder::writeFileAtomically(SyncFolder::snapshotPath(root, device, number), snapshot, error))
        return false;
    if (oldSnapshot > 0 && oldSnapshot != number)
        QFile::remove(SyncFolder::snapshotPath(root, device, oldSnapshot));
    for (qint64 n : numbers)
        QFile::remove(SyncFolder::changePath(root, device, n));
    const QString blobDir = SyncFolder::devicePath(root, device) + QStringLiteral("/blobs");
    for (const QString &name : QDir(blobDir).entryList(QDir::Files | QDir::NoSymLinks))
        if (SyncFolder::isBlobName(name) && !blobs.contains(name))
            QFile::remove(blobDir + QLatin1Char('/') + name);
    return true;
}

namespace {

enum class FileOutcome { applied, retryLater };

// The bytes one pass may hold. The first blob of a pass is read whatever its size, so every pass
// gets somewhere.
struct PassBudget {
    qint64 max = 0;
    qint64 used = 0;
    bool blobTaken = false;
    bool spent = false;
};

struct FileRead {
    FileOutcome outcome = FileOutcome::applied;
    qsizetype stoppedAt = -1; // the first record the budget left for a later pass
};

// Reads one file of another device into `batch`, from record `from` on; records whose blobs are
// missing are held back and the file is tried again later. A snapshot is the only copy of what it
// folded in: a record in it whose blob is there but damaged is dropped rather than holding the
// device back for good. A file or blob past a bound, or not a regular file, is turned down for good.
FileRead readDeviceFile(const QString &root, const QString &device, const QString &path, qint64 number, bool snapshot,
                        qsizetype from, ImportBatch &batch, PassBudget &budget)
{
    const QString name = QFileInfo(path).fileName();
    SyncFolder::ReadStatus status;
    const auto bytes = SyncFolder::readRegularFile(path, SyncFolder::maxChangeFileBytes, &status);
    if (status == SyncFolder::ReadStatus::missing)
        return {FileOutcome::retryLater}; // not delivered yet
    if (status == SyncFolder::ReadStatus::notRegular || status == SyncFolder::ReadStatus::tooLarge) {
        qCWarning(lcSync, "Refused %s of device %s: %s", qPrintable(name), qPrintable(device),
                  status == SyncFolder::ReadStatus::tooLarge ? "too large" : "not a regular file");
        return {FileOutcome::applied};
    }
    SyncFolder::ChangeFile file;
    const auto parsed = bytes ? SyncFolder::decode(*bytes, device, &file) : SyncFolder::ParseResult::unreadable;
    if (parsed == SyncFolder::ParseResult::refused)
        return {FileOutcome::applied};
    if (parsed == SyncFolder::ParseResult::newerFormat) {
        qCWarning(lcSync, "Skipped %s: written in a newer format", qPrintable(name));
        return {FileOutcome::retryLater};
    }
    if (parsed != SyncFolder::ParseResult::ok) {
        qCWarning(lcSync, "Skipped %s of device %s: incomplete or damaged", qPrintable(name), qPrintable(device));
        return {FileOutcome::retryLater};
    }
    budget.used += bytes->size();
    FileRead result;
    // Records naming the same content share one read of it: a small file naming one large blob
    // thousands of times must not read it thousands of times over.
    QHash<QString, QByteArray> blobsRead;
    for (qsizetype i = std::max<qsizetype>(from, 0); i < qsizetype(file.records.size()); ++i) {
        SyncRecord &r = file.records[size_t(i)];
        bool complete = true;
        bool damaged = false;
        bool refused = false;
        for (const QLatin1StringView field : {SyncNames::image, SyncNames::file}) {
            const QString hash = r.fields.value(field).toString();
            if (hash.isEmpty())
                continue;
            if (const auto known = blobsRead.constFind(hash); known != blobsRead.constEnd()) {
                r.blobs.insert(hash, *known);
                continue;
            }
            if (!SyncFolder::isBlobName(hash)) {
                damaged = true;
                complete = false;
                break;
            }
            const qint64 room =
                budget.blobTaken ? std::max<qint64>(budget.max - budget.used, 0) : SyncFolder::maxBlobBytes;
            BoundedFileRead blob = readBoundedFile(SyncFolder::blobPath(root, device, hash),
                                                   BoundedFileLimits{std::min(room, SyncFolder::maxBlobBytes), true});
            if (blob.status == BoundedFileRead::Status::tooLarge && blob.size <= SyncFolder::maxBlobBytes) {
                // Fits a pass of its own: this record and the rest wait for the next.
                budget.spent = true;
                result.stoppedAt = i;
                return result;
            }
            refused =
                blob.status == BoundedFileRead::Status::tooLarge || blob.status == BoundedFileRead::Status::notRegular;
            if (!blob.ok() || SyncFolder::sha256Hex(blob.bytes) != hash) {
                damaged = blob.ok();
                complete = false;
                break;
            }
            budget.used += blob.bytes.size();
            budget.blobTaken = true;
            blobsRead.insert(hash, blob.bytes);
            r.blobs.insert(hash, std::move(blob.bytes));
        }
        if (complete) {
            // Texts cut here, off the main thread, as a local copy would be.
            for (auto it = r.fields.begin(); it != r.fields.end(); ++it)
                if (it->isString() && it->toString().size() > CapturedContent::maxTextBytes / 3)
                    *it = CapturedContent::capText(it->toString(), CapturedContent::maxTextBytes);
            batch.records.push_back(std::move(r));
            batch.sources.push_back(number);
        } else if (refused) {
            qCWarning(lcSync, "Refused a record of device %s: its content is too large or not a regular file",
                      qPrintable(device));
        } else if (snapshot && damaged) {
            qCWarning(lcSync, "Dropped a record of device %s from its snapshot: its content does not match",
                      qPrintable(device));
        } else {
            qCWarning(lcSync, "Held back a record of device %s: its content is missing or does not match",
                      qPrintable(device));
            result.outcome = FileOutcome::retryLater;
        }
    }
    return result;
}

} // namespace

ImportResult runImport(const ImportJob &job)
{
    ImportResult result;
    if (!SyncFolder::isAvailable(job.root)) {
        result.ok = false;
        result.error = QStringLiteral("The sync folder %1 is missing or read-only").arg(job.root);
        return result;
    }
    PassBudget budget{job.maxBytesPerPass};
    int filesRead = 0;
    size_t recordsRead = 0;
    auto cancelled = [&] { return job.cancelled && job.cancelled->load(); };
    // At least one file per pass, however large, so a big one cannot stall the rest.
    auto full = [&] {
        if (cancelled())
            return true;
        if (filesRead == 0
            || (!budget.spent && budget.used < job.maxBytesPerPass && filesRead < job.maxFilesPerPass
                && recordsRead < size_t(job.maxRecordsPerPass)))
            return false;
        result.more = true;
        return true;
    };
    result.devices = SyncFolder::otherDevices(job.root, job.device);
    for (const QString &device : std::as_const(result.devices)) {
        if (full())
            break;
        ImportBatch batch;
        batch.device = device;
        DeviceProgress p = job.progress.value(device);
        const qint64 snapshot = SyncFolder::snapshotNumber(job.root, device);
        SyncFolder::NumberWindow window = SyncFolder::changeNumbersNear(job.root, device, p.last);
        const std::vector<qint64> &numbers = window.numbers;
        auto present = [&](qint64 n) { return std::binary_search(numbers.begin(), numbers.end(), n); };
        auto read = [&](const QString &path, qint64 n, bool isSnapshot) {
            ++filesRead;
            const qint64 key = DeviceProgress::partKey(n, isSnapshot);
            const size_t before = batch.records.size();
            const FileRead r =
                readDeviceFile(job.root, device, path, n, isSnapshot, p.resumeAt.value(key, 0), batch, budget);
            recordsRead += batch.records.size() - before;
            if (r.stoppedAt >= 0) {
                result.more = true;
                p.resumeAt.insert(key, r.stoppedAt);
                if (r.outcome == FileOutcome::retryLater)
                    p.readAgain.insert(key);
                return FileOutcome::retryLater;
            }
            p.resumeAt.remove(key);
            // Its rest is read; a record held back before it wants the whole file once more.
            return p.readAgain.remove(key) ? FileOutcome::retryLater : r.outcome;
        };
        // Files folded into the snapshot are gone: what was not read of them is read from it.
        bool needSnapshot = p.last < snapshot;
        for (qint64 n : std::as_const(p.pending))
            if (n <= snapshot && !present(n))
                needSnapshot = true;
        if (needSnapshot) {
            const auto outcome = read(SyncFolder::snapshotPath(job.root, device, snapshot), snapshot, true);
            for (auto it = p.pending.begin(); it != p.pending.end();)
                it = *it <= snapshot && !present(*it) ? p.pending.erase(it) : std::next(it);
            p.last = std::max(p.last, snapshot);
            // Records waiting for a blob keep the snapshot to be read again; later files go on.
            if (outcome != FileOutcome::applied)
                p.pending.insert(snapshot);
            window = SyncFolder::changeNumbersNear(job.root, device, p.last);
        }
        std::vector<qint64> toRead(p.pending.begin(), p.pending.end());
        bool nearAhead = false;
        for (qint64 n : numbers)
            if (n > p.last) {
                toRead.push_back(n);
                nearAhead = true;
            }
        // Nothing near: the next file is far ahead. Waiting for every number between would hold
        // the device back for good, so the gap is jumped.
        qint64 jumpedTo = 0;
        if (!nearAhead && window.beyond > 0) {
            qCWarning(lcSync, "Skipped change numbers %lld to %lld of device %s: a gap of more than %lld",
                      static_cast<long long>(p.last + 1), static_cast<long long>(window.beyond - 1), qPrintable(device),
                      static_cast<long long>(SyncFolder::numberWindow));
            jumpedTo = window.beyond;
            toRead.push_back(window.beyond);
        }
        std::sort(toRead.begin(), toRead.end());
        toRead.erase(std::unique(toRead.begin(), toRead.end()), toRead.end());
        for (qint64 n : toRead) {
            if (n <= snapshot && !present(n) && n != jumpedTo)
                continue; // the snapshot's, read above
            if (full())
                break;
            p.pending.remove(n);
            if (read(SyncFolder::changePath(job.root, device, n), n, false) == FileOutcome::retryLater)
                p.pending.insert(n);
            if (n != jumpedTo)
                for (qint64 gap = p.last + 1; gap < n; ++gap)
                    if (!present(gap))
                        p.pending.insert(gap);
            p.last = std::max(p.last, n);
        }
        // Files far ahead are looked at in a pass of their own, right after this one.
        if (window.beyond > 0 && jumpedTo == 0)
            result.more = true;
        // Numbers long passed are not waited for any more.
        for (auto it = p.pending.begin(); it != p.pending.end();)
            it = *it < p.last - SyncFolder::numberWindow ? p.pending.erase(it) : std::next(it);
        for (auto it = p.resumeAt.begin(); it != p.resumeAt.end();)
            it = p.pending.contains(qAbs(it.key())) ? std::next(it) : p.resumeAt.erase(it);
        for (auto it = p.readAgain.begin(); it != p.readAgain.end();)
            it = p.pending.contains(qAbs(*it)) ? std::next(it) : p.readAgain.erase(it);
        batch.progress = p;
        if (!batch.records.empty() || !(p == job.progress.value(device)))
            result.batches.push_back(std::move(batch));
    }
    return result;
}

} // namespace quillmere
