#include "Quillmere/Sync/SyncFolder.h"

#include "Quillmere/Platform/Core/AtomicFile.h"
#include "Quillmere/Platform/Core/Json.h"
#include "Quillmere/Sync/SyncLogging.h"
#include "Quillmere/Sync/SyncNames.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcSync, "com.orvantide.quillmere.sync")

namespace quillmere {

QJsonObject SyncRecord::toJson() const
{
    QJsonObject o{{SyncNames::type, type}, {SyncNames::id, id}, {SyncNames::modifiedAt, double(modifiedAt)}};
    if (deleted)
        o.insert(SyncNames::deleted, true);
    else
        o.insert(SyncNames::fields, fields);
    if (!device.isEmpty())
        o.insert(SyncNames::device, device);
    return o;
}

std::optional<SyncRecord> SyncRecord::fromJson(const QJsonObject &json, const QString &device)
{
    SyncRecord r;
    r.type = json.value(SyncNames::type).toString();
    r.id = json.value(SyncNames::id).toString();
    const auto modified = SyncFolder::integerIn(json.value(SyncNames::modifiedAt), 0, SyncFolder::maxDateMs);
    r.deleted = json.value(SyncNames::deleted).toBool(false);
    r.fields = json.value(SyncNames::fields).toObject();
    r.device = json.value(SyncNames::device).toString(device);
    if (r.device != device) {
        qCWarning(lcSync, "Refused a record in the folder of device %s that claims another device", qPrintable(device));
        return std::nullopt;
    }
    if (r.type.isEmpty() || QUuid::fromString(r.id).isNull() || !modified
        || (!r.deleted && !json.value(SyncNames::fields).isObject()) || !SyncFolder::isValidDeviceID(r.device))
        return std::nullopt;
    r.modifiedAt = *modified;
    // One spelling per id, the store's: a peer's own spelling would make a stranger of the record
    // here and send it back out as a change of ours.
    r.id = uuidText(QUuid::fromString(r.id));
    return r;
}

namespace SyncFolder {
namespace {

const QRegularExpression kChangeName(QStringLiteral("^(\\d{10})\\.json$"));
const QRegularExpression kSnapshotName(QStringLiteral("^snapshot-(\\d{10})\\.json$"));
const QRegularExpression kDeviceName(QStringLiteral("^[A-Za-z0-9-]{1,64}$"));
const QRegularExpression kSha256(QStringLiteral("^[0-9a-f]{64}$"));

// Made 0700 when missing; one the sync program made is used when it is a real folder of ours,
// and closed to others if it was not yet.
bool ensurePrivateDirectory(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    if (::mkdir(name.constData(), 0700) == 0)
        return true;
    struct stat st {};
    if (::lstat(name.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
        return false;
    return (st.st_mode & 0777) == 0700 || ::chmod(name.constData(), 0700) == 0;
}

bool isRealDirectory(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() && info.isDir() && !info.isSymLink();
}

QStringList entriesMatching(const QString &dir, const QRegularExpression &pattern)
{
    if (!isRealDirectory(dir))
        return {};
    QStringList out;
    const QStringList names = QDir(dir).entryList(QDir::Files | QDir::NoSymLinks | QDir::Hidden, QDir::Name);
    for (const QString &name : names)
        if (pattern.match(name).hasMatch())
            out << name;
    return out;
}

} // namespace

QString containerPath(const QString &root)
{
    return QDir(root).filePath(containerName);
}

QString devicePath(const QString &root, const QString &device)
{
    return containerPath(root) + QLatin1Char('/') + device;
}

QString changePath(const QString &root, const QString &device, qint64 number)
{
    return devicePath(root, device) + QStringLiteral("/changes/%1.json").arg(number, 10, 10, QLatin1Char('0'));
}

QString snapshotPath(const QString &root, const QString &device, qint64 number)
{
    return devicePath(root, device) + QStringLiteral("/snapshot-%1.json").arg(number, 10, 10, QLatin1Char('0'));
}

QString blobPath(const QString &root, const QString &device, const QString &sha256)
{
    return devicePath(root, device) + QStringLiteral("/blobs/") + sha256;
}

bool isValidDeviceID(const QString &device)
{
    return kDeviceName.match(device).hasMatch();
}

QString sha256Hex(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

bool isAvailable(const QString &root)
{
    if (root.isEmpty())
        return false;
    const QFileInfo info(root);
    return info.exists() && info.isDir() && info.isWritable();
}

bool prepareDevice(const QString &root, const QString &device, QString *error)
{
    if (!isAvailable(root)) {
        *error = QStringLiteral("The sync folder %1 is missing or read-only").arg(root);
        return false;
    }
    const QString own = devicePath(root, device);
    for (const QString &dir :
         {containerPath(root), own, own + QStringLiteral("/changes"), own + QStringLiteral("/blobs")}) {
        if (!ensurePrivateDirectory(dir)) {
            *error = QStringLiteral("Cannot use %1 as a private folder").arg(dir);
            return false;
        }
    }
    return true;
}

QStringList otherDevices(const QString &root, const QString &device)
{
    const QString container = containerPath(root);
    if (!isRealDirectory(container))
        return {};
    QStringList out;
    for (const QString &name :
         QDir(container).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks, QDir::Name))
        if (name != device && isValidDeviceID(name) && isRealDirectory(container + QLatin1Char('/') + name))
            out << name;
    return out;
}

std::vector<qint64> changeNumbers(const QString &root, const QString &device)
{
    const QString dir = devicePath(root, device);
    std::vector<qint64> out;
    if (!isRealDirectory(dir))
        return out;
    for (const QString &name : entriesMatching(dir + QStringLiteral("/changes"), kChangeName))
        out.push_back(kChangeName.match(name).captured(1).toLongLong());
    return out;
}

NumberWindow changeNumbersNear(const QString &root, const QString &device, qint64 last)
{
    NumberWindow out;
    const QString dir = devicePath(root, device) + QStringLiteral("/changes");
    if (!isRealDirectory(devicePath(root, device)) || !isRealDirectory(dir))
        return out;
    QDirIterator it(dir, QDir::Files | QDir::NoSymLinks | QDir::Hidden);
    while (it.hasNext()) {
        it.next();
        const auto match = kChangeName.match(it.fileName());
        if (!match.hasMatch())
            continue;
        const qint64 n = match.captured(1).toLongLong();
        if (n > last + numberWindow)
            out.beyond = out.beyond == 0 ? n : std::min(out.beyond, n);
        else if (n >= last - numberWindow)
            out.numbers.push_back(n);
    }
    std::sort(out.numbers.begin(), out.numbers.end());
    return out;
}

qint64 snapshotNumber(const QString &root, const QString &device)
{
    const QString dir = devicePath(root, device);
    qint64 newest = 0;
    if (!isRealDirectory(dir))
        return 0;
    for (const QString &name : entriesMatching(dir, kSnapshotName))
        newest = std::max(newest, kSnapshotName.match(name).captured(1).toLongLong());
    return newest;
}

std::optional<qint64> integerIn(const QJsonValue &value, qint64 lo, qint64 hi)
{
    if (!value.isDouble())
        return std::nullopt;
    const double d = value.toDouble();
    // Compared as doubles first: converting one outside the range is undefined.
    if (!std::isfinite(d) || d < double(lo) || d > double(hi))
        return std::nullopt;
    return std::clamp(qint64(d), lo, hi);
}

std::optional<QByteArray> readRegularFile(const QString &path, qint64 maxBytes, ReadStatus *status)
{
    BoundedFileRead read = readBoundedFile(path, BoundedFileLimits{maxBytes, true});
    if (status)
        *status = read.status;
    if (!read.ok())
        return std::nullopt;
    return std::move(read.bytes);
}

bool writeFileAtomically(const QString &path, const QByteArray &bytes, QString *error)
{
    return quillmere::writeFileAtomically(path, bytes, error);
}

QByteArray encode(const QString &device, qint64 number, bool snapshot, const std::vector<SyncRecord> &records)
{
    QJsonArray list;
    for (const SyncRecord &r : records) {
        QJsonObject o = r.toJson();
        // Change files hold their own device's versions only; the field is implied there.
        if (!snapshot || r.device == device)
            o.remove(SyncNames::device);
        list.append(o);
    }
    const QJsonObject doc{{SyncNames::format, formatVersion},
                          {SyncNames::device, device},
                          {snapshot ? SyncNames::snapshot : SyncNames::number, double(number)},
                          {SyncNames::records, list}};
    return QJsonDocument(doc).toJson(QJsonDocument::Compact);
}

ParseResult decode(const QByteArray &bytes, const QString &device, ChangeFile *out)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return ParseResult::unreadable;
    const QJsonObject o = doc.object();
    const QJsonValue format = o.value(SyncNames::format);
    if (!format.isDouble() || !o.value(SyncNames::records).isArray())
        return ParseResult::unreadable;
    if (!(format.toDouble() <= formatVersion))
        return ParseResult::newerFormat;
    if (o.value(SyncNames::device).toString() != device)
        return ParseResult::unreadable;
    const auto number =
        integerIn(o.value(o.contains(SyncNames::snapshot) ? SyncNames::snapshot : SyncNames::number), 0, maxInteger);
    if (!number)
        return ParseResult::unreadable;
    out->number = *number;
    const QJsonArray list = o.value(SyncNames::records).toArray();
    if (list.size() > maxRecordsPerFile) {
        qCWarning(lcSync, "Refused a file of device %s with %lld records", qPrintable(device),
                  static_cast<long long>(list.size()));
        return ParseResult::refused;
    }
    for (const QJsonValue &value : list) {
        auto record = SyncRecord::fromJson(value.toObject(), device);
        if (!record) {
            qCWarning(lcSync, "Skipped a record of device %s that could not be read", qPrintable(device));
            continue;
        }
        out->records.push_back(std::move(*record));
    }
    return ParseResult::ok;
}

bool isBlobName(const QString &name)
{
    return kSha256.match(name).hasMatch();
}

} // namespace SyncFolder
} // namespace quillmere
