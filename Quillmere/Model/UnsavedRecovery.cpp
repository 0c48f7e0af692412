#include "Quillmere/Model/UnsavedRecovery.h"

#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Platform/Core/AtomicFile.h"
#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Platform/Core/PrivateDirectory.h"
#include "Quillmere/Platform/Core/UnixSignals.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QTemporaryFile>
#include <algorithm>

#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace quillmere::UnsavedRecovery {
namespace {

// A folder recovery files go to or are looked for in, and the start of their names there.
struct Spot {
    enum class Kind { beside, above, state, cache, runtime, temporary };
    Kind kind;
    QString folder;
    QString prefix;
};

QString besidePrefix(const QString &storePath)
{
    return QFileInfo(storePath).fileName() + QStringLiteral(".unsaved-");
}

// Away from the store, the name says which store the file belongs to.
QString elsewherePrefix(const QString &storePath)
{
    const QByteArray path = QFile::encodeName(QFileInfo(storePath).absoluteFilePath());
    const QByteArray digest = QCryptographicHash::hash(path, QCryptographicHash::Sha256).toHex().left(8);
    return QFileInfo(storePath).fileName() + QLatin1Char('-') + QString::fromLatin1(digest)
        + QStringLiteral(".unsaved-");
}

QString xdgFolder(const char *variable, const char *underHome)
{
    const QString set = qEnvironmentVariable(variable);
    return QDir::isAbsolutePath(set) ? set : QDir::homePath() + QLatin1Char('/') + QLatin1String(underHome);
}

// The nearest folder at or above `path` that is there: what a folder yet to be made will lie on.
QByteArray nearestExisting(const QString &path)
{
    QString at = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    struct stat info {};
    while (::stat(QFile::encodeName(at).constData(), &info) != 0 && at != QLatin1String("/"))
        at = QFileInfo(at).absolutePath();
    return QFile::encodeName(at);
}

dev_t deviceOf(const QString &path)
{
    struct stat info {};
    return ::stat(nearestExisting(path).constData(), &info) == 0 ? info.st_dev : dev_t(-1);
}

Place::Lasting lastingOf(const Spot &spot)
{
    if (spot.kind == Spot::Kind::runtime)
        return Place::Lasting::untilLogout;
    struct statfs info {};
    if (::statfs(nearestExisting(spot.folder).constData(), &info) == 0
        && (info.f_type == TMPFS_MAGIC || info.f_type == RAMFS_MAGIC))
        return Place::Lasting::untilRestart;
    return Place::Lasting::kept;
}

// How soon what a folder keeps may go: a folder that lasts first, then the temporary folder (which
// some systems empty at a restart, or of old files), one in memory, and the runtime folder, which
// a logout empties, last of all.
int transience(const Spot &spot)
{
    switch (lastingOf(spot)) {
    case Place::Lasting::kept:
        return spot.kind == Spot::Kind::temporary ? 1 : 0;
    case Place::Lasting::untilRestart:
        return 2;
    case Place::Lasting::untilLogout:
        return 3;
    }
    return 3;
}

// The folders away from the store in the order they are tried: those that keep what they hold
// longest first, and among those alike, those on another file system than the store's, since a
// full disk is full for all of it.
std::vector<Spot> elsewhere(const QString &storePath)
{
    const QString prefix = elsewherePrefix(storePath);
    std::vector<Spot> spots{
        {Spot::Kind::state, xdgFolder("XDG_STATE_HOME", ".local/state") + QStringLiteral("/Quillmere"), prefix},
        {Spot::Kind::cache, xdgFolder("XDG_CACHE_HOME", ".cache") + QStringLiteral("/Quillmere"), prefix}};
    if (const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR"); QDir::isAbsolutePath(runtime))
        spots.push_back({Spot::Kind::runtime, runtime + QStringLiteral("/Quillmere"), prefix});
    // Empty when $TMPDIR names no folder.
    if (const QString temporary = QDir::tempPath(); QDir::isAbsolutePath(temporary))
        spots.push_back({Spot::Kind::temporary, temporary + QStringLiteral("/quillmere-%1").arg(::geteuid()), prefix});
    const dev_t storeDevice = deviceOf(QFileInfo(storePath).absolutePath());
    std::vector<std::pair<int, Spot>> ranked;
    for (Spot &spot : spots)
        ranked.emplace_back(transience(spot) * 2 + (deviceOf(spot.folder) == storeDevice ? 1 : 0), std::move(spot));
    std::stable_sort(ranked.begin(), ranked.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    spots.clear();
    for (auto &[rank, spot] : ranked)
        spots.push_back(std::move(spot));
    return spots;
}

Spot beside(const QString &storePath)
{
    return {Spot::Kind::beside, QFileInfo(storePath).absolutePath(), besidePrefix(storePath)};
}

// Where files went when the store's folder could not take them, before the folders above were used.
Spot above(const QString &storePath)
{
    const QString folder = QFileInfo(storePath).absolutePath();
    return {Spot::Kind::above, QFileInfo(folder).absolutePath(),
            QFileInfo(folder).fileName() + QLatin1Char('-') + besidePrefix(storePath)};
}

// Makes the folder ready for a file; the store's own folder is never made here.
bool prepare(const Spot &spot, QString *error)
{
    switch (spot.kind) {
    case Spot::Kind::beside:
    case Spot::Kind::above:
        return true;
    case Spot::Kind::temporary:
        // Others share the temporary folder: only a folder that is ours alone will do.
        return preparePrivateDirectory(spot.folder, true, false, error);
    case Spot::Kind::state:
    case Spot::Kind::cache:
    case Spot::Kind::runtime:
        return makePrivatePath(spot.folder, error);
    }
    return false;
}

// A file kept from a quit in the same second is not replaced: it may not have come back yet.
QString unusedName(const Spot &spot, const QString &stamp)
{
    const QDir dir(spot.folder);
    QString path = dir.filePath(spot.prefix + stamp + QStringLiteral(".json"));
    for (int n = 2; QFileInfo::exists(path) || QFileInfo(path).isSymLink(); ++n)
        path = dir.filePath(QStringLiteral("%1%2-%3.json").arg(spot.prefix, stamp).arg(n));
    return path;
}

void put(QJsonObject &o, const char *key, const std::optional<QString> &value)
{
    if (value)
        o.insert(QLatin1String(key), *value);
}

// One clip as JSON. Its image or file goes in as base64 spliced before the rest, so that the
// bytes are encoded once and never pass through a JSON value.
QByteArray clipText(const ClipItem &clip)
{
    QJsonObject o{{QStringLiteral("kind"), clip.kindRawValue()},
                  {QStringLiteral("createdAt"), clip.createdAt().toString(Qt::ISODateWithMs)},
                  {QStringLiteral("isPinned"), clip.isPinned()}};
    // Older readers pass over it; a clip never stored has none yet.
    if (clip.captureOrder() > 0)
        o.insert(QStringLiteral("captureOrder"), clip.captureOrder());
    put(o, "text", clip.text());
    put(o, "customTitle", clip.customTitle());
    put(o, "fileName", clip.fileName());
    put(o, "fileTypeIdentifier", clip.fileTypeIdentifier());
    put(o, "recognizedText", clip.recognizedText());
    put(o, "sourceAppName", clip.sourceAppName());
    put(o, "sourceAppBundleID", clip.sourceAppBundleID());
    if (clip.pinboard())
        o.insert(QStringLiteral("pageName"), clip.pinboard()->name());
    QByteArray text("{");
    if (const auto image = clip.imageData())
        text += "\"imageDataBase64\":\"" + image->toBase64() + "\",";
    if (const auto file = clip.fileData())
        text += "\"fileDataBase64\":\"" + file->toBase64() + "\",";
    return text + QJsonDocument(o).toJson(QJsonDocument::Compact).mid(1);
}

// What goes into recovery files, as JSON texts of pages and clips, and how far writing got.
struct Spill {
    QByteArray head;
    std::vector<QByteArray> pages;
    std::vector<const ClipItem *> clips;
    size_t nextPage = 0;
    size_t nextClip = 0;
    // The text of the next clip when the last file had no room left for it.
    QByteArray carried;
};

// Written in pieces, so that a quit that waits while the writing advances hears of each.
bool writeInPieces(AtomicFile &file, const QByteArray &bytes, const UnixSignals::EndPostponed &postponed)
{
    constexpr qsizetype piece = 1024 * 1024;
    for (qsizetype at = 0; at < bytes.size(); at += piece) {
        if (!file.write(QByteArrayView(bytes).sliced(at, std::min(piece, bytes.size() - at))))
            return false;
        postponed.advance();
    }
    return true;
}

// Writes the next file's worth of `spill` to `path`: the Pages still to write, up to a file's
// number, and the clips that fit (at least one). Moves `spill` on only once the file is there.
// The file says how many clips it holds before them, so that a reader of a file cut short knows
// how many it lost.
bool writeNext(const QString &path, Spill &spill, const UnixSignals::EndPostponed &postponed, QString *error)
{
    const size_t pageEnd = std::min(spill.pages.size(), spill.nextPage + size_t(maxPages));
    qint64 size = spill.head.size() + 64;
    for (size_t i = spill.nextPage; i < pageEnd; ++i)
        size += spill.pages[i].size() + 1;
    std::vector<QByteArray> texts;
    QByteArray overflow;
    size_t clip = spill.nextClip;
    for (; clip < spill.clips.size() && texts.size() < size_t(maxClips); ++clip) {
        QByteArray text =
            clip == spill.nextClip && !spill.carried.isEmpty() ? spill.carried : clipText(*spill.clips[clip]);
        postponed.advance();
        if (!texts.empty() && size + text.size() + 1 > writtenFileBytes) {
            overflow = std::move(text);
            break;
        }
        size += text.size() + 1;
        texts.push_back(std::move(text));
    }
    AtomicFile file(path);
    bool ok = file.write(spill.head) && file.write("\"clipCount\":" + QByteArray::number(qulonglong(texts.size())))
        && file.write(",\"pages\":[");
    for (size_t i = spill.nextPage; ok && i < pageEnd; ++i)
        ok = (i == spill.nextPage || file.write(",")) && file.write(spill.pages[i]);
    ok = ok && file.write("],\"clips\":[");
    for (size_t i = 0; ok && i < texts.size(); ++i)
        ok = (i == 0 || file.write(",")) && writeInPieces(file, texts[i], postponed);
    ok = ok && file.write("]}\n");
    if (ok) {
        const UnixSignals::EndPostponed syncing(spillSyncLimit);
        ok = file.commit();
    }
    if (!ok) {
        *error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    postponed.advance();
    spill.carried = std::move(overflow);
    spill.nextPage = pageEnd;
    spill.nextClip = clip;
    return true;
}

Spill spillOf(const std::vector<std::shared_ptr<PersistentModel>> &records, const QDateTime &now)
{
    Spill spill;
    spill.head = "{\"unsavedAt\":\"" + now.toString(Qt::ISODateWithMs).toLatin1() + "\",";
    for (const auto &record : records) {
        if (const auto *clip = dynamic_cast<const ClipItem *>(record.get())) {
            // A clip on a timer holds a code, a password or a key: it ends with the session.
            if (!clip->expiresAt())
                spill.clips.push_back(clip);
        } else if (const auto *page = dynamic_cast<const Pinboard *>(record.get())) {
            spill.pages.push_back(QJsonDocument(QJsonObject{{QStringLiteral("name"), page->name()},
                                                            {QStringLiteral("colorName"), page->colorName()}})
                                      .toJson(QJsonDocument::Compact));
        }
    }
    // Newest first: a quit cut short keeps the copies most likely wanted.
    std::stable_sort(spill.clips.begin(), spill.clips.end(),
                     [](const ClipItem *a, const ClipItem *b) { return a->createdAt() > b->createdAt(); });
    // Every file says it, so that each raises its clips as far as the others when they come back.
    qint64 lowest = 0;
    for (const ClipItem *clip : spill.clips)
        if (clip->captureOrder() > 0 && (lowest == 0 || clip->captureOrder() < lowest))
            lowest = clip->captureOrder();
    if (lowest > 0)
        spill.head += "\"lowestCaptureOrder\":" + QByteArray::number(lowest) + ',';
    return spill;
}

// A folder takes a file when a little can be written and synced there.
bool takesAFile(const Spot &spot)
{
    QString why;
    if (!prepare(spot, &why))
        return false;
    QTemporaryFile probe(QDir(spot.folder).filePath(QStringLiteral(".probe-XXXXXX")));
    return probe.open() && probe.write(QByteArray(64 * 1024, '\0')) == 64 * 1024 && probe.flush()
        && ::fsync(int(probe.handle())) == 0;
}

} // namespace

QStringList write(const QString &storePath, const std::vector<std::shared_ptr<PersistentModel>> &records,
                  const QDateTime &now, QString *error, bool storeFolderLast)
{
    // The copies exist nowhere else: a quit waits for them while the writing advances.
    const UnixSignals::EndPostponed postponed(spillStepLimit);
    Spill spill = spillOf(records, now);
    std::vector<Spot> spots{beside(storePath)};
    for (Spot &spot : elsewhere(storePath))
        spots.push_back(std::move(spot));
    if (storeFolderLast)
        std::rotate(spots.begin(), spots.begin() + 1, spots.end());
    const QString stamp = now.toUTC().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QStringList written;
    QStringList failures;
    size_t spot = 0;
    // One file at least, the Pages alone when there is nothing else; a place that failed once is
    // not tried again for the files after.
    while (written.isEmpty() || spill.nextClip < spill.clips.size() || spill.nextPage < spill.pages.size()) {
        for (; spot < spots.size(); ++spot) {
            QString why;
            if (!prepare(spots[spot], &why)) {
                failures << why;
                continue;
            }
            const QString path = unusedName(spots[spot], stamp);
            if (writeNext(path, spill, postponed, &why)) {
                written << path;
                break;
            }
            failures << why;
        }
        if (spot == spots.size())
            break;
    }
    if (error && spot == spots.size())
        *error = failures.join(QStringLiteral("; "));
    return written;
}

std::optional<Place> place(const QString &storePath)
{
    std::vector<Spot> spots{beside(storePath)};
    for (Spot &spot : elsewhere(storePath))
        spots.push_back(std::move(spot));
    for (const Spot &spot : spots)
        if (takesAFile(spot))
            return Place{spot.folder, lastingOf(spot)};
    return std::nullopt;
}

namespace {

// What the spot's recovery files were called stands before ".unsaved-"; its fallback store takes that name.
QString fallbackIn(const Spot &spot)
{
    return QDir(spot.folder).filePath(spot.prefix.chopped(int(qstrlen(".unsaved-"))) + QStringLiteral(".fallback"));
}

} // namespace

std::optional<std::pair<QString, Place>> fallbackPlace(const QString &storePath, bool storeFolderLast)
{
    std::vector<Spot> spots{beside(storePath)};
    for (Spot &spot : elsewhere(storePath))
        spots.push_back(std::move(spot));
    if (storeFolderLast)
        std::rotate(spots.begin(), spots.begin() + 1, spots.end());
    // One left by an earlier session goes on where it is.
    for (const Spot &spot : spots)
        if (QFileInfo(fallbackIn(spot)).isFile())
            return std::make_pair(fallbackIn(spot), Place{spot.folder, lastingOf(spot)});
    for (const Spot &spot : spots)
        if (takesAFile(spot))
            return std::make_pair(fallbackIn(spot), Place{spot.folder, lastingOf(spot)});
    return std::nullopt;
}

QStringList fallbackFiles(const QString &storePath)
{
    QStringList found;
    std::vector<Spot> spots{beside(storePath)};
    for (Spot &spot : elsewhere(storePath))
        spots.push_back(std::move(spot));
    // A second one, when the first was taken, takes a number: "NAME.2.fallback".
    for (const Spot &spot : spots) {
        const QString name = QFileInfo(fallbackIn(spot)).fileName();
        const QDir dir(spot.folder);
        for (const QString &file :
             dir.entryList({name, name.chopped(9) + QStringLiteral(".*.fallback")}, QDir::Files, QDir::Name))
            if (!found.contains(dir.filePath(file)))
                found << dir.filePath(file);
    }
    return found;
}

QStringList all(const QString &storePath)
{
    // The names end in their UTC time: sorted by name they are sorted by age. Without ".json", a
    // later file of the same second ("-2") sorts after the first.
    std::vector<std::pair<QString, QString>> found;
    QSet<QString> looked;
    std::vector<Spot> spots{beside(storePath), above(storePath)};
    for (Spot &spot : elsewhere(storePath))
        spots.push_back(std::move(spot));
    for (const Spot &spot : spots) {
        const QDir dir(spot.folder);
        if (!dir.exists() || looked.contains(dir.canonicalPath() + QLatin1Char('/') + spot.prefix))
            continue;
        looked.insert(dir.canonicalPath() + QLatin1Char('/') + spot.prefix);
        if (spot.kind == Spot::Kind::temporary && !preparePrivateDirectory(spot.folder, false))
            continue;
        // Links and FIFOs too: they are refused on reading, and told of.
        for (const QString &name :
             dir.entryList({spot.prefix + QStringLiteral("*.json")}, QDir::Files | QDir::System, QDir::Name))
            found.emplace_back(name.mid(spot.prefix.size()).chopped(5), dir.filePath(name));
    }
    std::stable_sort(found.begin(), found.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    QStringList paths;
    for (const auto &[stamp, path] : found)
        paths << path;
    return paths;
}

void removeLeftovers(const QString &storePath)
{
    std::vector<Spot> spots{beside(storePath), above(storePath)};
    for (Spot &spot : elsewhere(storePath))
        spots.push_back(std::move(spot));
    const QDateTime hourAgo = QDateTime::currentDateTimeUtc().addSecs(-3600);
    for (const Spot &spot : spots) {
        const QDir dir(spot.folder);
        // The name of an atomic write's file before its rename: ".<name>.XXXXXX".
        const QStringList names = dir.entryList({QLatin1Char('.') + spot.prefix + QStringLiteral("*.json.??????")},
                                                QDir::Files | QDir::Hidden | QDir::NoSymLinks);
        for (const QString &name : names) {
            const QFileInfo info(dir.filePath(name));
            if (info.lastModified().toUTC() < hourAgo && QFile::remove(info.filePath()))
                qCInfo(lcPersistence, "Removed %s, left by a quit cut short", qPrintable(info.filePath()));
        }
    }
}

QString newest(const QString &storePath)
{
    const QStringList found = all(storePath);
    return found.isEmpty() ? QString() : found.last();
}

int bringBack(ClipStore &store, const std::vector<Page> &pages, const std::vector<Clip> &clips, QString *error,
              Lift *lift)
{
    ModelContext &ctx = store.context();
    Lift own;
    if (!lift) {
        for (const Clip &clip : clips)
            if (clip.captureOrder > 0)
                own.lowest = std::min(clip.captureOrder, own.lowest.value_or(clip.captureOrder));
        lift = &own;
    }
    if (lift->lowest && lift->fixedFor != std::pair(lift->unsavedAt, *lift->lowest)) {
        lift->fixedFor = std::pair(lift->unsavedAt, *lift->lowest);
        lift->by = ClipItem::captureOrderLift(*lift->lowest, ctx.lastCaptureOrder());
    }
    const qint64 by = lift->lowest ? lift->by : 0;
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
    for (const Page &page : pages)
        pageNamed(page.name, page.colorName);

    int brought = 0;
    for (const Clip &spilled : clips) {
        ClipRef clip = ctx.newestClipWithHash(spilled.hash);
        if (!clip) {
            // A temporary clip whose time ran out meanwhile is not brought back.
            if (spilled.expiresAt && *spilled.expiresAt <= store.now())
                continue;
            ++brought;
            clip = store.makeClip(spilled.content, spilled.hash);
            if (spilled.createdAt.isValid())
                clip->setCreatedAt(spilled.createdAt);
            if (spilled.captureOrder > 0)
                clip->setCaptureOrder(ClipItem::liftedCaptureOrder(spilled.captureOrder, by));
            clip->setExpiresAt(spilled.expiresAt);
            ctx.insert(clip);
        } else {
            if (spilled.createdAt.isValid() && spilled.createdAt > clip->createdAt())
                clip->setCreatedAt(spilled.createdAt);
            if (spilled.captureOrder > clip->captureOrder())
                clip->setCaptureOrder(spilled.captureOrder);
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
    if (!store.saveOrRollback("Failed to bring back unsaved copies: %s") || store.context().hasChanges()) {
        if (error)
            *error = QStringLiteral("the history could not be saved");
        return -1;
    }
    return brought;
}

} // namespace quillmere::UnsavedRecovery
