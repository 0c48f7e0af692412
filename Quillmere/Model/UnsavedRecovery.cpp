#include "Quillmere/Model/UnsavedRecovery.h"

#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Platform/Core/AtomicFile.h"
#include "Quillmere/Platform/Core/BoundedFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>

namespace quillmere::UnsavedRecovery {
namespace {

QString pattern(const QString &storePath)
{
    return QFileInfo(storePath).fileName() + QStringLiteral(".unsaved-");
}

// Where the file goes when the store's own folder cannot take it (it is a file, say): the folder
// above, under a name that says whose it is.
QString fallbackPattern(const QString &storePath)
{
    return QFileInfo(QFileInfo(storePath).absolutePath()).fileName() + QLatin1Char('-') + pattern(storePath);
}

QDir fallbackDir(const QString &storePath)
{
    return QDir(QFileInfo(QFileInfo(storePath).absolutePath()).absolutePath());
}

// A file kept from a quit in the same second is not replaced: it may not have come back yet.
QString unusedName(const QDir &dir, const QString &prefix, const QString &stamp)
{
    QString path = dir.filePath(prefix + stamp + QStringLiteral(".json"));
    for (int n = 2; QFileInfo::exists(path); ++n)
        path = dir.filePath(QStringLiteral("%1%2-%3.json").arg(prefix, stamp).arg(n));
    return path;
}

void put(QJsonObject &o, const char *key, const std::optional<QString> &value)
{
    if (value)
        o.insert(QLatin1String(key), *value);
}

std::optional<QString> text(const QJsonObject &o, const char *key)
{
    const QJsonValue v = o.value(QLatin1String(key));
    return v.isString() ? std::optional<QString>(v.toString()) : std::nullopt;
}

// False when the value is there but not base64.
bool bytes(const QJsonObject &o, const char *key, std::optional<QByteArray> *out)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (v.isUndefined() || v.isNull())
        return true;
    auto decoded = QByteArray::fromBase64Encoding(v.toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!v.isString() || !decoded)
        return false;
    *out = std::move(*decoded);
    return true;
}

} // namespace

QString write(const QString &storePath, const std::vector<std::shared_ptr<PersistentModel>> &records,
              const QDateTime &now, QString *error)
{
    QJsonArray clips;
    QJsonArray pages;
    for (const auto &record : records) {
        if (const auto *clip = dynamic_cast<const ClipItem *>(record.get())) {
            // A clip past its expiry is gone already; one still on its timer keeps it.
            if (clip->expiresAt() && *clip->expiresAt() <= now)
                continue;
            QJsonObject o{{QStringLiteral("kind"), clip->kindRawValue()},
                          {QStringLiteral("createdAt"), clip->createdAt().toString(Qt::ISODateWithMs)},
                          {QStringLiteral("isPinned"), clip->isPinned()}};
            put(o, "text", clip->text());
            put(o, "customTitle", clip->customTitle());
            put(o, "fileName", clip->fileName());
            put(o, "fileTypeIdentifier", clip->fileTypeIdentifier());
            put(o, "recognizedText", clip->recognizedText());
            put(o, "sourceAppName", clip->sourceAppName());
            put(o, "sourceAppBundleID", clip->sourceAppBundleID());
            if (clip->expiresAt())
                o.insert(QStringLiteral("expiresAt"), clip->expiresAt()->toString(Qt::ISODateWithMs));
            if (clip->pinboard())
                o.insert(QStringLiteral("pageName"), clip->pinboard()->name());
            if (const auto image = clip->imageData())
                o.insert(QStringLiteral("imageDataBase64"), QString::fromLatin1(image->toBase64()));
            if (const auto file = clip->fileData())
                o.insert(QStringLiteral("fileDataBase64"), QString::fromLatin1(file->toBase64()));
            clips.append(o);
        } else if (const auto *page = dynamic_cast<const Pinboard *>(record.get())) {
            pages.append(
                QJsonObject{{QStringLiteral("name"), page->name()}, {QStringLiteral("colorName"), page->colorName()}});
        }
    }
    const QJsonObject doc{{QStringLiteral("unsavedAt"), now.toString(Qt::ISODateWithMs)},
                          {QStringLiteral("pages"), pages},
                          {QStringLiteral("clips"), clips}};
    const QByteArray json = QJsonDocument(doc).toJson();
    const QString stamp = now.toUTC().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    const QString beside = unusedName(QFileInfo(storePath).dir(), pattern(storePath), stamp);
    QString besideError;
    if (writeFileAtomically(beside, json, &besideError))
        return beside;
    const QString above = unusedName(fallbackDir(storePath), fallbackPattern(storePath), stamp);
    QString aboveError;
    if (writeFileAtomically(above, json, &aboveError))
        return above;
    if (error)
        *error = QStringLiteral("%1 (and %2: %3)").arg(besideError, above, aboveError);
    return {};
}

QStringList all(const QString &storePath)
{
    // The names end in their UTC time: sorted by name they are sorted by age. Without ".json", a
    // later file of the same second ("-2") sorts after the first.
    std::vector<std::pair<QString, QString>> found;
    const auto collect = [&](const QDir &dir, const QString &prefix) {
        for (const QString &name :
             dir.entryList({prefix + QStringLiteral("*.json")}, QDir::Files | QDir::NoSymLinks, QDir::Name))
            found.emplace_back(name.mid(prefix.size()).chopped(5), dir.filePath(name));
    };
    collect(QFileInfo(storePath).dir(), pattern(storePath));
    collect(fallbackDir(storePath), fallbackPattern(storePath));
    std::stable_sort(found.begin(), found.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    QStringList paths;
    for (const auto &[stamp, path] : found)
        paths << path;
    return paths;
}

QString newest(const QString &storePath)
{
    const QStringList found = all(storePath);
    return found.isEmpty() ? QString() : found.last();
}

std::optional<Contents> read(const QString &path, QString *error)
{
    const auto fail = [&](const QString &why) -> std::optional<Contents> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    // One of them lies in the folder above the store's, where others may put things.
    const BoundedFileRead file = readBoundedFile(path, BoundedFileLimits{maxFileBytes, true});
    if (file.status == BoundedFileRead::Status::tooLarge)
        return fail(QStringLiteral("larger than %1 MiB").arg(maxFileBytes / (1024 * 1024)));
    if (file.status == BoundedFileRead::Status::notRegular || file.status == BoundedFileRead::Status::missing)
        return fail(QStringLiteral("not a file"));
    if (!file.ok())
        return fail(file.errorText);
    const QByteArray &raw = file.bytes;
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(raw, &parseError);
    if (!doc.isObject())
        return fail(parseError.error == QJsonParseError::NoError ? QStringLiteral("not a recovery file")
                                                                 : parseError.errorString());
    const QJsonObject root = doc.object();
    const QJsonArray pages = root.value(QLatin1String("pages")).toArray();
    const QJsonArray clips = root.value(QLatin1String("clips")).toArray();
    if (pages.size() > maxPages || clips.size() > maxClips)
        return fail(QStringLiteral("%1 clips and %2 Pages, more than a recovery file holds")
                        .arg(clips.size())
                        .arg(pages.size()));
    const QDateTime unsavedAt =
        QDateTime::fromString(root.value(QLatin1String("unsavedAt")).toString(), Qt::ISODateWithMs);

    Contents contents;
    for (const QJsonValue &value : pages) {
        const QJsonObject o = value.toObject();
        if (const auto name = text(o, "name"))
            contents.pages.push_back({*name, text(o, "colorName").value_or(QString())});
    }
    for (const QJsonValue &value : clips) {
        const QJsonObject o = value.toObject();
        Contents::Clip clip;
        CapturedContent &c = clip.content;
        c.kind = clipKindOrText(o.value(QLatin1String("kind")).toString());
        // A file clip's text is its list of paths and stays whole, as when it was copied.
        c.text = c.kind == ClipKind::file ? text(o, "text") : CapturedContent::capText(text(o, "text"));
        c.fileName = text(o, "fileName");
        c.fileTypeIdentifier = text(o, "fileTypeIdentifier");
        c.recognizedText = CapturedContent::capText(text(o, "recognizedText"));
        c.sourceAppName = text(o, "sourceAppName");
        c.sourceAppBundleID = text(o, "sourceAppBundleID");
        if (!bytes(o, "imageDataBase64", &c.imageData) || !bytes(o, "fileDataBase64", &c.fileData))
            return fail(QStringLiteral("a clip's data is not base64"));
        if (!c.text && !c.imageData && !c.fileData && !c.fileName)
            continue;
        clip.hash = c.contentHash();
        clip.createdAt = QDateTime::fromString(o.value(QLatin1String("createdAt")).toString(), Qt::ISODateWithMs);
        if (!clip.createdAt.isValid())
            clip.createdAt = unsavedAt;
        clip.isPinned = o.value(QLatin1String("isPinned")).toBool();
        clip.customTitle = text(o, "customTitle");
        clip.pageName = text(o, "pageName");
        if (const auto expiresAt = text(o, "expiresAt")) {
            clip.expiresAt = QDateTime::fromString(*expiresAt, Qt::ISODateWithMs);
            if (!clip.expiresAt->isValid())
                clip.expiresAt = unsavedAt.isValid() ? unsavedAt : QDateTime::fromMSecsSinceEpoch(0);
        }
        contents.clips.push_back(std::move(clip));
    }
    return contents;
}

int bringBack(ClipStore &store, const Contents &contents, size_t from, size_t to, QString *error)
{
    ModelContext &ctx = store.context();
    // Pages are matched by name; one the file names but that is not stored yet is added.
    QHash<QString, PageRef> pagesByName;
    qint64 nextOrder = 0;
    for (const PageRef &page : ctx.pinboards()) {
        if (!pagesByName.contains(page->name()))
            pagesByName.insert(page->name(), page);
        nextOrder = std::max(nextOrder, page->sortOrder() + 1);
    }
    const auto pageNamed = [&](const QString &name, const QString &colorName) {
        if (PageRef existing = pagesByName.value(name))
            return existing;
        auto page = std::make_shared<Pinboard>();
        page->setName(name);
        if (!colorName.isEmpty())
            page->setColorName(colorName);
        page->setSortOrder(nextOrder++);
        page->setCreatedAt(store.now());
        ctx.insert(page);
        pagesByName.insert(name, page);
        return PageRef(page);
    };
    if (from == 0)
        for (const Contents::Page &page : contents.pages)
            pageNamed(page.name, page.colorName);

    int brought = 0;
    for (size_t i = from; i < std::min(to, contents.clips.size()); ++i) {
        const Contents::Clip &spilled = contents.clips[i];
        ClipRef clip = ctx.newestClipWithHash(spilled.hash);
        if (!clip) {
            // A temporary clip whose time ran out meanwhile is not brought back.
            if (spilled.expiresAt && *spilled.expiresAt <= store.now())
                continue;
            ++brought;
            clip = store.makeClip(spilled.content, spilled.hash);
            if (spilled.createdAt.isValid())
                clip->setCreatedAt(spilled.createdAt);
            clip->setExpiresAt(spilled.expiresAt);
            ctx.insert(clip);
        } else {
            ++brought;
            if (spilled.createdAt.isValid() && spilled.createdAt > clip->createdAt())
                clip->setCreatedAt(spilled.createdAt);
        }
        if (spilled.isPinned)
            clip->setIsPinned(true);
        if (spilled.customTitle && !clip->customTitle())
            clip->setCustomTitle(spilled.customTitle);
        if (spilled.pageName && !clip->pinboard()) {
            clip->setPinboard(pageNamed(*spilled.pageName, {}));
            clip->setIsSavedToPage(true);
            clip->setExpiresAt(std::nullopt);
        }
    }
    // A store that keeps the changes for later has not taken them yet.
    if (!store.saveOrRollback("Failed to bring back unsaved copies: %s") || ctx.hasChanges()) {
        if (error)
            *error = QStringLiteral("the history could not be saved");
        return -1;
    }
    return brought;
}

} // namespace quillmere::UnsavedRecovery
