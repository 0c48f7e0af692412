#include "Quillmere/Archive/ArchiveRecords.h"

#include "Quillmere/Archive/ArchiveNames.h"
#include "Quillmere/Platform/Core/Json.h"

#include <QJsonArray>
#include <algorithm>
#include <cmath>

namespace quillmere {
namespace archive {
namespace {

bool isDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

// Reads exactly `count` digits at `pos`.
std::optional<int> digits(QStringView text, qsizetype pos, int count)
{
    if (pos + count > text.size())
        return std::nullopt;
    int value = 0;
    for (int i = 0; i < count; ++i) {
        const QChar c = text[pos + i];
        if (!isDigit(c))
            return std::nullopt;
        value = value * 10 + (c.unicode() - u'0');
    }
    return value;
}

bool isBase64Char(char16_t c)
{
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') || c == u'+' || c == u'/';
}

} // namespace

QString dateWithMilliseconds(const QDateTime &date)
{
    return date.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")) + QLatin1Char('Z');
}

QString dateWithSeconds(const QDateTime &date)
{
    return date.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")) + QLatin1Char('Z');
}

std::optional<QDateTime> parseDate(QStringView text, Fraction fraction)
{
    // yyyy-MM-ddTHH:mm:ss[.f+](Z|±HH:MM)
    const auto year = digits(text, 0, 4);
    const auto month = digits(text, 5, 2);
    const auto day = digits(text, 8, 2);
    const auto hour = digits(text, 11, 2);
    const auto minute = digits(text, 14, 2);
    const auto second = digits(text, 17, 2);
    if (!year || !month || !day || !hour || !minute || !second || text.size() < 20)
        return std::nullopt;
    if (text[4] != u'-' || text[7] != u'-' || text[10] != u'T' || text[13] != u':' || text[16] != u':')
        return std::nullopt;
    qsizetype pos = 19;
    int millis = 0;
    if (text[pos] == u'.') {
        if (fraction == Fraction::forbidden)
            return std::nullopt;
        ++pos;
        const qsizetype start = pos;
        while (pos < text.size() && isDigit(text[pos]))
            ++pos;
        const qsizetype count = pos - start;
        if (count == 0 || count > 9)
            return std::nullopt;
        // Finer than a millisecond is cut off.
        int scale = 100;
        for (qsizetype i = start; i < start + std::min<qsizetype>(count, 3); ++i, scale /= 10)
            millis += (text[i].unicode() - u'0') * scale;
    } else if (fraction == Fraction::required) {
        return std::nullopt;
    }
    if (pos >= text.size())
        return std::nullopt;
    int offsetSeconds = 0;
    if (text[pos] == u'Z') {
        ++pos;
    } else if (text[pos] == u'+' || text[pos] == u'-') {
        const int sign = text[pos] == u'+' ? 1 : -1;
        const auto oh = digits(text, pos + 1, 2);
        const auto om = digits(text, pos + 4, 2);
        if (!oh || !om || text[pos + 3] != u':' || *oh > 23 || *om > 59)
            return std::nullopt;
        offsetSeconds = sign * (*oh * 3600 + *om * 60);
        pos += 6;
    } else {
        return std::nullopt;
    }
    if (pos != text.size())
        return std::nullopt;
    const QDate d(*year, *month, *day);
    if (!d.isValid() || *hour > 23 || *minute > 59 || *second > 59)
        return std::nullopt;
    // Read as UTC, then move by the written offset.
    const QDateTime utc(d, QTime(*hour, *minute, *second, millis), Qt::UTC);
    if (!utc.isValid())
        return std::nullopt;
    return utc.addSecs(-offsetSeconds);
}

std::optional<QByteArray> decodeBase64(QStringView text)
{
    if (text.size() % 4 != 0)
        return std::nullopt;
    qsizetype padding = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c == u'=') {
            ++padding;
            continue;
        }
        // Fill only at the very end.
        if (padding > 0 || !isBase64Char(c))
            return std::nullopt;
    }
    if (padding > 2)
        return std::nullopt;
    auto result = QByteArray::fromBase64Encoding(text.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (result.decodingStatus != QByteArray::Base64DecodingStatus::Ok)
        return std::nullopt;
    return result.decoded;
}

QString encodeBase64(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toBase64());
}

std::optional<QString> baseNamesOnly(const std::optional<QString> &paths)
{
    if (!paths)
        return std::nullopt;
    QStringList kept;
    for (QStringView line : QStringView(*paths).split(u'\n')) {
        const QString base = baseFileName(line);
        if (!base.isEmpty())
            kept << base;
    }
    if (kept.isEmpty())
        return std::nullopt;
    return kept.join(QLatin1Char('\n'));
}

QDateTime roundedToSecond(const QDateTime &date)
{
    const qint64 ms = date.toMSecsSinceEpoch();
    const qint64 seconds = ms >= 0 ? (ms + 500) / 1000 : -((-ms + 500) / 1000);
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC);
}

} // namespace archive

namespace {

void putOptional(QJsonObject &object, const QString &key, const std::optional<QString> &value)
{
    if (value)
        object.insert(key, *value);
}

void putOptional(QJsonObject &object, const QString &key, const std::optional<QByteArray> &value)
{
    if (value)
        object.insert(key, archive::encodeBase64(*value));
}

std::optional<QByteArray> optionalBase64(JsonFields &fields, const QString &key)
{
    const auto text = fields.optionalString(key);
    if (!text)
        return std::nullopt;
    auto bytes = archive::decodeBase64(*text);
    if (!bytes)
        fields.fail();
    return bytes;
}

QDateTime requiredDate(JsonFields &fields, const QString &key, archive::Fraction fraction)
{
    if (!fields.object().value(key).isString()) {
        fields.fail();
        return {};
    }
    const auto date = archive::parseDate(fields.string(key), fraction);
    if (!date)
        fields.fail();
    return date.value_or(QDateTime());
}

// Backup dates may carry a fraction of a second or not.
class BackupFields : public JsonFields {
public:
    using JsonFields::JsonFields;
    QDateTime date(const QString &key) { return requiredDate(*this, key, archive::Fraction::optional); }
};

} // namespace

// ---- ArchivedClip / PageArchive ------------------------------------------------------------------

ArchivedClip ArchivedClip::from(const ClipItem &clip)
{
    ArchivedClip out;
    out.kind = rawValue(clip.kind());
    out.text = clip.text();
    if (clip.customTitle()) {
        const QString trimmed = clip.customTitle()->trimmed();
        if (!trimmed.isEmpty())
            out.customTitle = trimmed;
    }
    out.fileName = clip.fileName();
    out.fileTypeIdentifier = clip.fileTypeIdentifier();
    out.recognizedText = clip.recognizedText();
    // Zero bytes mean no payload in the store; the file says so by leaving the key out.
    if (clip.hasImageData())
        out.imageData = clip.imageData();
    if (clip.hasFileData())
        out.fileData = clip.fileData();
    return out;
}

CapturedContent ArchivedClip::capturedContent() const
{
    CapturedContent content;
    content.kind = clipKindOrText(kind);
    content.text = content.kind == ClipKind::file ? archive::baseNamesOnly(text) : CapturedContent::capText(text);
    // A name is only ever a name here, whatever the kind: previews write files under it.
    if (fileName) {
        const QString base = baseFileName(*fileName);
        if (!base.isEmpty())
            content.fileName = base;
    }
    content.imageData = imageData;
    content.fileData = fileData;
    content.fileTypeIdentifier = fileTypeIdentifier;
    content.recognizedText = recognizedText;
    return content;
}

QJsonObject ArchivedClip::toJson() const
{
    QJsonObject o;
    o.insert(PageFileNames::kind, kind);
    putOptional(o, PageFileNames::text, text);
    putOptional(o, PageFileNames::customTitle, customTitle);
    putOptional(o, PageFileNames::fileName, fileName);
    putOptional(o, PageFileNames::fileTypeIdentifier, fileTypeIdentifier);
    putOptional(o, PageFileNames::recognizedText, recognizedText);
    putOptional(o, PageFileNames::imageData, imageData);
    putOptional(o, PageFileNames::fileData, fileData);
    return o;
}

std::optional<ArchivedClip> ArchivedClip::fromJson(const QJsonValue &json)
{
    JsonFields f(json);
    ArchivedClip out;
    out.kind = f.string(PageFileNames::kind);
    out.text = f.optionalString(PageFileNames::text);
    out.customTitle = f.optionalString(PageFileNames::customTitle);
    out.fileName = f.optionalString(PageFileNames::fileName);
    out.fileTypeIdentifier = f.optionalString(PageFileNames::fileTypeIdentifier);
    out.recognizedText = f.optionalString(PageFileNames::recognizedText);
    out.imageData = optionalBase64(f, PageFileNames::imageData);
    out.fileData = optionalBase64(f, PageFileNames::fileData);
    if (!f.ok())
        return std::nullopt;
    return out;
}

QJsonObject PageArchive::toJson() const
{
    QJsonArray items;
    for (const ArchivedClip &clip : clips)
        items.append(clip.toJson());
    QJsonObject o;
    o.insert(PageFileNames::version, version);
    o.insert(PageFileNames::name, name);
    o.insert(PageFileNames::colorName, colorName);
    o.insert(PageFileNames::iconName, iconName);
    o.insert(PageFileNames::exportedAt, archive::dateWithSeconds(exportedAt));
    o.insert(PageFileNames::clips, items);
    return o;
}

std::optional<PageArchive> PageArchive::fromJson(const QJsonValue &json)
{
    JsonFields f(json);
    PageArchive out;
    out.version = f.integer(PageFileNames::version);
    out.name = f.string(PageFileNames::name);
    out.colorName = f.string(PageFileNames::colorName);
    out.iconName = f.string(PageFileNames::iconName);
    out.exportedAt = requiredDate(f, PageFileNames::exportedAt, archive::Fraction::forbidden);
    const QJsonArray items = f.array(PageFileNames::clips);
    if (!f.ok())
        return std::nullopt;
    out.clips.reserve(items.size());
    for (const QJsonValue &item : items) {
        auto clip = ArchivedClip::fromJson(item);
        if (!clip)
            return std::nullopt;
        out.clips.push_back(std::move(*clip));
    }
    return out;
}

// ---- Backup records --------------------------------------------------------------------------------

ClipArchiveClip ClipArchiveClip::from(const ClipItem &clip, bool payloads)
{
    ClipArchiveClip out;
    out.dedupID = uuidText(clip.dedupID());
    out.createdAt = clip.createdAt();
    out.kind = rawValue(clip.kind());
    out.text = clip.text();
    out.fileName = clip.fileName();
    out.fileTypeIdentifier = clip.fileTypeIdentifier();
    out.customTitle = clip.customTitle();
    out.recognizedText = clip.recognizedText();
    out.sourceAppName = clip.sourceAppName();
    out.sourceAppBundleID = clip.sourceAppBundleID();
    out.isPinned = clip.isPinned();
    out.contentHash = clip.contentHash();
    out.linkTitle = clip.linkTitle();
    out.isSavedToPage = clip.isSavedToPage();
    if (const PageRef page = clip.pinboard(); page && !page->isDeleted())
        out.pageName = page->displayName();
    if (!payloads)
        return out;
    if (clip.hasImageData())
        out.imageDataBase64 = archive::encodeBase64(clip.imageData().value_or(QByteArray()));
    if (clip.hasFileData())
        out.fileDataBase64 = archive::encodeBase64(clip.fileData().value_or(QByteArray()));
    return out;
}

CapturedContent ClipArchiveClip::restoredContent() const
{
    ArchivedClip shape;
    shape.kind = kind;
    shape.text = text;
    shape.fileName = fileName;
    shape.fileTypeIdentifier = fileTypeIdentifier;
    shape.recognizedText = recognizedText;
    if (imageDataBase64)
        shape.imageData = archive::decodeBase64(*imageDataBase64);
    if (fileDataBase64)
        shape.fileData = archive::decodeBase64(*fileDataBase64);
    CapturedContent content = shape.capturedContent();
    content.sourceAppName = sourceAppName;
    content.sourceAppBundleID = sourceAppBundleID;
    return content;
}

QString ClipArchiveClip::recomputedHash() const
{
    return recomputedHash(restoredContent());
}

QString ClipArchiveClip::recomputedHash(const CapturedContent &restored) const
{
    const QString hash = restored.contentHash();
    if (contentHash.startsWith(QLatin1String("manual:"))) {
        const QUuid id = QUuid::fromString(dedupID);
        if (!id.isNull())
            return QStringLiteral("manual:%1:%2").arg(uuidText(id), hash);
    }
    return hash;
}

ClipArchiveDocument ClipArchiveDocument::make(const std::vector<ClipRef> &clips, const std::vector<PageRef> &pages,
                                              const QDateTime &exportedAt, const QString &appVersion)
{
    ClipArchiveDocument doc;
    for (const PageRef &page : pages) {
        if (!page)
            continue;
        doc.pinboards.push_back({page->displayName(), page->colorName(), page->iconName(), page->sortOrder()});
    }
    for (const ClipRef &clip : clips) {
        if (!clip || clip->expiresAt())
            continue;
        doc.clips.push_back(ClipArchiveClip::from(*clip));
    }
    doc.manifest.version = ClipArchiveManifest::currentVersion;
    doc.manifest.exportedAt = exportedAt;
    doc.manifest.appVersion = appVersion;
    doc.manifest.clipCount = qint64(doc.clips.size());
    doc.manifest.pinboardCount = qint64(doc.pinboards.size());
    return doc;
}

ClipArchiveDocument::ImportSplit ClipArchiveDocument::clipsToImport(const QSet<QString> &excluding) const
{
    ImportSplit split;
    QSet<QString> seen = excluding;
    for (const ClipArchiveClip &clip : clips) {
        if (seen.contains(clip.contentHash)) {
            ++split.skipped;
            continue;
        }
        seen.insert(clip.contentHash);
        split.clips.push_back(clip);
    }
    return split;
}

QJsonObject ClipArchiveDocument::toJson() const
{
    QJsonObject m;
    m.insert(BackupNames::version, manifest.version);
    m.insert(BackupNames::exportedAt, archive::dateWithMilliseconds(manifest.exportedAt));
    m.insert(BackupNames::appVersion, manifest.appVersion);
    m.insert(BackupNames::clipCount, manifest.clipCount);
    m.insert(BackupNames::pinboardCount, manifest.pinboardCount);

    QJsonArray pages;
    for (const ClipArchivePinboard &p : pinboards) {
        QJsonObject o;
        o.insert(BackupNames::name, p.name);
        o.insert(BackupNames::colorName, p.colorName);
        o.insert(BackupNames::iconName, p.iconName);
        o.insert(BackupNames::sortOrder, p.sortOrder);
        pages.append(o);
    }

    QJsonArray items;
    for (const ClipArchiveClip &c : clips) {
        QJsonObject o;
        o.insert(BackupNames::dedupID, c.dedupID);
        o.insert(BackupNames::createdAt, archive::dateWithMilliseconds(c.createdAt));
        o.insert(BackupNames::kind, c.kind);
        putOptional(o, BackupNames::text, c.text);
        putOptional(o, BackupNames::fileName, c.fileName);
        putOptional(o, BackupNames::fileTypeIdentifier, c.fileTypeIdentifier);
        putOptional(o, BackupNames::customTitle, c.customTitle);
        putOptional(o, BackupNames::recognizedText, c.recognizedText);
        putOptional(o, BackupNames::sourceAppName, c.sourceAppName);
        putOptional(o, BackupNames::sourceAppBundleID, c.sourceAppBundleID);
        o.insert(BackupNames::isPinned, c.isPinned);
        o.insert(BackupNames::contentHash, c.contentHash);
        putOptional(o, BackupNames::linkTitle, c.linkTitle);
        o.insert(BackupNames::isSavedToPage, c.isSavedToPage);
        putOptional(o, BackupNames::pageName, c.pageName);
        putOptional(o, BackupNames::imageDataBase64, c.imageDataBase64);
        putOptional(o, BackupNames::fileDataBase64, c.fileDataBase64);
        items.append(o);
    }

    QJsonObject root;
    root.insert(BackupNames::manifest, m);
    root.insert(BackupNames::pinboards, pages);
    root.insert(BackupNames::clips, items);
    return root;
}

std::optional<ClipArchiveDocument> ClipArchiveDocument::fromJson(const QJsonValue &json)
{
    JsonFields root(json);
    const QJsonObject manifestObject = root.object().value(BackupNames::manifest).toObject();
    if (!root.object().value(BackupNames::manifest).isObject())
        return std::nullopt;
    const QJsonArray pageArray = root.array(BackupNames::pinboards);
    const QJsonArray clipArray = root.array(BackupNames::clips);
    if (!root.ok())
        return std::nullopt;

    ClipArchiveDocument doc;
    BackupFields m(manifestObject);
    archive::readManifestFields(m, doc.manifest);
    if (!m.ok())
        return std::nullopt;

    doc.pinboards.reserve(pageArray.size());
    for (const QJsonValue &value : pageArray) {
        BackupFields p(value);
        ClipArchivePinboard page;
        archive::readPinboardFields(p, page);
        if (!p.ok())
            return std::nullopt;
        doc.pinboards.push_back(std::move(page));
    }

    doc.clips.reserve(clipArray.size());
    for (const QJsonValue &value : clipArray) {
        BackupFields c(value);
        ClipArchiveClip clip;
        archive::readClipFields(
            c, clip, [&](const QString &key, std::optional<QString> &field, bool) { field = c.optionalString(key); });
        if (!c.ok())
            return std::nullopt;
        doc.clips.push_back(std::move(clip));
    }
    return doc;
}

} // namespace quillmere
