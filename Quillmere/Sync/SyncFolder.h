#pragma once

#include "Quillmere/Platform/Core/BoundedFile.h"

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QUuid>
#include <optional>
#include <vector>

namespace quillmere {

// One record version as it travels between devices. Versions order by modifiedAt, then by the
// writing device's id, so every device picks the same winner.
struct SyncRecord {
    QString type; // "ClipItem", "Pinboard", "AppSettings"
    QString id;   // the record's stable UUID text
    qint64 modifiedAt = 0;
    QString device;
    bool deleted = false;
    QJsonObject fields;
    // Content-addressed bytes the fields name ("image", "file"): SHA-256 hex -> bytes. Filled on
    // import once the blob was read and checked.
    QHash<QString, QByteArray> blobs;

    bool isNewerThan(qint64 otherModifiedAt, const QString &otherDevice) const
    {
        return modifiedAt != otherModifiedAt ? modifiedAt > otherModifiedAt : device > otherDevice;
    }
    QJsonObject toJson() const;
    // None when a number is out of range or the record claims another writer than `device`, the
    // device whose folder it was read from: a peer writes only as itself.
    static std::optional<SyncRecord> fromJson(const QJsonObject &json, const QString &device);
};

// The replicated folder: under the container folder one subfolder per device, where only that
// device writes numbered, immutable change files, a compacted snapshot and content-addressed blobs.
// Nothing here follows a link out of the folder or reads more than the bounds allow.
namespace SyncFolder {

inline const QString containerName = QStringLiteral("iCloud.com.orvantide.quillmere");
constexpr int formatVersion = 1;
// What is read of another device, whoever wrote it. A change file is written in parts well under
// its bound; blobs are capped as a local image or file is.
constexpr qint64 maxChangeFileBytes = 32LL * 1024 * 1024;
constexpr qint64 exportFileBytes = 8LL * 1024 * 1024;
constexpr qint64 maxBlobBytes = 8388608;
constexpr int maxRecordsPerFile = 50000;
// Change numbers looked at past the last one read; a larger gap is jumped, not waited for.
constexpr qint64 numberWindow = 4096;
// Latest date a number may carry (year 9999) and the largest integer a JSON double holds exactly.
constexpr qint64 maxDateMs = 253402300799999LL;
constexpr qint64 maxInteger = 9007199254740992LL;

QString containerPath(const QString &root);
QString devicePath(const QString &root, const QString &device);
QString changePath(const QString &root, const QString &device, qint64 number);
QString snapshotPath(const QString &root, const QString &device, qint64 number);
QString blobPath(const QString &root, const QString &device, const QString &sha256);

bool isValidDeviceID(const QString &device);
QString sha256Hex(const QByteArray &bytes);
bool isBlobName(const QString &name);

// Usable: the folder exists, is a real directory and this user may write in it.
bool isAvailable(const QString &root);
// Makes the container and this device's folders (0700); false when any is not ours or a link.
bool prepareDevice(const QString &root, const QString &device, QString *error);

// Other devices' folders in the container (links and odd names passed over).
QStringList otherDevices(const QString &root, const QString &device);
// Change file numbers in a device's folder, ascending; and its newest snapshot number (0: none).
std::vector<qint64> changeNumbers(const QString &root, const QString &device);
// The numbers within `numberWindow` either side of `last`, ascending, and the lowest number above
// that window (0: none); nothing else is kept, however many files there are.
struct NumberWindow {
    std::vector<qint64> numbers;
    qint64 beyond = 0;
};
NumberWindow changeNumbersNear(const QString &root, const QString &device, qint64 last);
qint64 snapshotNumber(const QString &root, const QString &device);

// An integer from a JSON number, none when it is not a finite number within [lo, hi].
std::optional<qint64> integerIn(const QJsonValue &value, qint64 lo, qint64 hi);

using ReadStatus = BoundedFileRead::Status;
// A regular file read without following a link, at most `maxBytes`; none otherwise. Opened
// non-blocking, so a FIFO or device in its place is turned down, never waited on.
std::optional<QByteArray> readRegularFile(const QString &path, qint64 maxBytes, ReadStatus *status = nullptr);
// Written under a temporary name in the same folder and renamed into place, mode 0600.
bool writeFileAtomically(const QString &path, const QByteArray &bytes, QString *error);

// `refused`: readable but past a bound; it is not tried again.
enum class ParseResult { ok, unreadable, newerFormat, refused };
struct ChangeFile {
    qint64 number = 0;
    std::vector<SyncRecord> records;
};
QByteArray encode(const QString &device, qint64 number, bool snapshot, const std::vector<SyncRecord> &records);
// Records that fail to parse are left out with a log line; a file that fails as a whole is
// `unreadable` (it may still be arriving).
ParseResult decode(const QByteArray &bytes, const QString &device, ChangeFile *out);

} // namespace SyncFolder
} // namespace quillmere
