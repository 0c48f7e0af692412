#pragma once

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
    static std::optional<SyncRecord> fromJson(const QJsonObject &json, const QString &device);
};

// The replicated folder: under the container folder one subfolder per device, where only that
// device writes numbered, immutable change files, a compacted snapshot and content-addressed blobs.
// Nothing here follows a link out of the folder or reads more than the bounds allow.
namespace SyncFolder {

inline const QString containerName = QStringLiteral("iCloud.com.orvantide.quillmere");
constexpr int formatVersion = 1;
constexpr qint64 maxChangeFileBytes = 256LL * 1024 * 1024;
constexpr qint64 maxBlobBytes = 512LL * 1024 * 1024;

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
qint64 snapshotNumber(const QString &root, const QString &device);

// A regular file read without following a link, at most `maxBytes`; none otherwise.
std::optional<QByteArray> readRegularFile(const QString &path, qint64 maxBytes);
// Written under a temporary name in the same folder and renamed into place, mode 0600.
bool writeFileAtomically(const QString &path, const QByteArray &bytes, QString *error);

enum class ParseResult { ok, unreadable, newerFormat };
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
