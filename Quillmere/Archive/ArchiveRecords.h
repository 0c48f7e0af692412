#pragma once

#include "Quillmere/Archive/ArchiveNames.h"
#include "Quillmere/Model/CapturedContent.h"
#include "Quillmere/Model/FileNames.h"
#include "Quillmere/Model/Records.h"

#include <QDateTime>
#include <QJsonObject>
#include <QSet>
#include <QString>
#include <optional>
#include <vector>

namespace quillmere {

// ---- Pieces shared by the file formats ----------------------------------------------------------

namespace archive {

enum class Fraction { required, forbidden, optional };

// yyyy-MM-ddTHH:mm:ss.SSSZ in UTC.
QString dateWithMilliseconds(const QDateTime &date);
// yyyy-MM-ddTHH:mm:ssZ in UTC (milliseconds dropped).
QString dateWithSeconds(const QDateTime &date);
// Internet date-time: a full date, "T", a full time with optional fraction as `fraction` says,
// then "Z" or a "+HH:MM"/"-HH:MM" offset. Anything else gives no date.
std::optional<QDateTime> parseDate(QStringView text, Fraction fraction);

// Standard alphabet with "=" fill, length a multiple of four, no line breaks or blanks.
std::optional<QByteArray> decodeBase64(QStringView text);
QString encodeBase64(const QByteArray &bytes);

// Each line of a file clip's text reduced to its base name; lines that reduce to nothing go.
std::optional<QString> baseNamesOnly(const std::optional<QString> &paths);

// The moment rounded to the nearest whole second, halves away from zero.
QDateTime roundedToSecond(const QDateTime &date);

} // namespace archive

// ---- Page file records ---------------------------------------------------------------------------

// One clip of a shared Page.
struct ArchivedClip {
    QString kind = QStringLiteral("text");
    std::optional<QString> text;
    std::optional<QString> customTitle;
    std::optional<QString> fileName;
    std::optional<QString> fileTypeIdentifier;
    std::optional<QString> recognizedText;
    std::optional<QByteArray> imageData;
    std::optional<QByteArray> fileData;

    bool operator==(const ArchivedClip &) const = default;

    static ArchivedClip from(const ClipItem &clip);

    // What the importer stores. An unknown kind is text; text is capped except for file clips,
    // whose paths are cut to base names; a file name keeps only its base; the source application
    // stays empty.
    CapturedContent capturedContent() const;

    QJsonObject toJson() const;
    static std::optional<ArchivedClip> fromJson(const QJsonValue &json);
};

// One Page with its clips, as it travels between people and machines.
struct PageArchive {
    static constexpr qint64 currentVersion = 1;

    qint64 version = currentVersion;
    QString name;
    QString colorName;
    QString iconName;
    QDateTime exportedAt; // whole seconds
    std::vector<ArchivedClip> clips;

    bool operator==(const PageArchive &) const = default;

    QJsonObject toJson() const;
    // Structure only: the version is not judged here.
    static std::optional<PageArchive> fromJson(const QJsonValue &json);
};

// ---- Backup records ------------------------------------------------------------------------------

struct ClipArchiveManifest {
    static constexpr qint64 currentVersion = 1;

    qint64 version = currentVersion;
    QDateTime exportedAt;
    QString appVersion;
    qint64 clipCount = 0;
    qint64 pinboardCount = 0;

    bool operator==(const ClipArchiveManifest &) const = default;
};

struct ClipArchivePinboard {
    QString name;
    QString colorName;
    QString iconName;
    qint64 sortOrder = 0;

    bool operator==(const ClipArchivePinboard &) const = default;
};

struct ClipArchiveClip {
    QString dedupID;
    QDateTime createdAt;
    QString kind = QStringLiteral("text");
    std::optional<QString> text;
    std::optional<QString> fileName;
    std::optional<QString> fileTypeIdentifier;
    std::optional<QString> customTitle;
    std::optional<QString> recognizedText;
    std::optional<QString> sourceAppName;
    std::optional<QString> sourceAppBundleID;
    bool isPinned = false;
    QString contentHash;
    std::optional<QString> linkTitle;
    bool isSavedToPage = false;
    std::optional<QString> pageName;
    std::optional<QString> imageDataBase64;
    std::optional<QString> fileDataBase64;

    bool operator==(const ClipArchiveClip &) const = default;

    // Without `payloads` the image and file stay out, for the caller to add.
    static ClipArchiveClip from(const ClipItem &clip, bool payloads = true);

    // The content this record restores to, with file paths cut to base names and payloads decoded
    // (a payload that does not decode counts as none; the reader refuses such files).
    CapturedContent restoredContent() const;
    // The hash the restored clip gets, worked out from its content rather than trusted from the
    // file. Manual clips keep their never-merging form.
    QString recomputedHash() const;
    // The same from content already restored, so the payloads are decoded only once.
    QString recomputedHash(const CapturedContent &restored) const;
};

struct ClipArchiveDocument {
    ClipArchiveManifest manifest;
    std::vector<ClipArchivePinboard> pinboards;
    std::vector<ClipArchiveClip> clips;

    bool operator==(const ClipArchiveDocument &) const = default;

    // Clips and Pages in the order given. Temporary clips (those with an expiry) stay out: they
    // hold one-time codes and passwords that must not outlive their few minutes.
    static ClipArchiveDocument make(const std::vector<ClipRef> &clips, const std::vector<PageRef> &pages,
                                    const QDateTime &exportedAt, const QString &appVersion);

    struct ImportSplit {
        std::vector<ClipArchiveClip> clips;
        int skipped = 0;
    };
    // Clips whose hash is neither in `excluding` nor taken by an earlier clip of this archive, in
    // archive order, and the number left out.
    ImportSplit clipsToImport(const QSet<QString> &excluding) const;

    QJsonObject toJson() const;
    // Structure only: the version and the Base64 payloads are judged by the reader.
    static std::optional<ClipArchiveDocument> fromJson(const QJsonValue &json);
};

// What both backup readers (the quick one and the DOM one) take from a manifest, a Page and a clip,
// listed once so that neither can drop a field the other reads. `Fields` answers string,
// optionalString, boolean, integer and date by key, and notes itself a missing or mistyped value.
// `payload(key, field, isImage)` reads the Base64 fields, each reader in its own way.
namespace archive {

template <class Fields> void readManifestFields(Fields &m, ClipArchiveManifest &out)
{
    out.version = m.integer(BackupNames::version);
    out.exportedAt = m.date(BackupNames::exportedAt);
    out.appVersion = m.string(BackupNames::appVersion);
    out.clipCount = m.integer(BackupNames::clipCount);
    out.pinboardCount = m.integer(BackupNames::pinboardCount);
}

template <class Fields> void readPinboardFields(Fields &p, ClipArchivePinboard &out)
{
    out.name = p.string(BackupNames::name);
    out.colorName = p.string(BackupNames::colorName);
    out.iconName = p.string(BackupNames::iconName);
    out.sortOrder = p.integer(BackupNames::sortOrder);
}

template <class Fields, class Payload> void readClipFields(Fields &c, ClipArchiveClip &out, Payload payload)
{
    out.dedupID = c.string(BackupNames::dedupID);
    out.createdAt = c.date(BackupNames::createdAt);
    out.kind = c.string(BackupNames::kind);
    out.text = c.optionalString(BackupNames::text);
    out.fileName = c.optionalString(BackupNames::fileName);
    out.fileTypeIdentifier = c.optionalString(BackupNames::fileTypeIdentifier);
    out.customTitle = c.optionalString(BackupNames::customTitle);
    out.recognizedText = c.optionalString(BackupNames::recognizedText);
    out.sourceAppName = c.optionalString(BackupNames::sourceAppName);
    out.sourceAppBundleID = c.optionalString(BackupNames::sourceAppBundleID);
    out.isPinned = c.boolean(BackupNames::isPinned);
    out.contentHash = c.string(BackupNames::contentHash);
    out.linkTitle = c.optionalString(BackupNames::linkTitle);
    out.isSavedToPage = c.boolean(BackupNames::isSavedToPage);
    out.pageName = c.optionalString(BackupNames::pageName);
    payload(BackupNames::imageDataBase64, out.imageDataBase64, true);
    payload(BackupNames::fileDataBase64, out.fileDataBase64, false);
}

} // namespace archive

} // namespace quillmere
