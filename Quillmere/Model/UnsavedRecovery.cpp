#include "Quillmere/Model/UnsavedRecovery.h"

#include "Quillmere/Model/CapturedContent.h"
#include "Quillmere/Model/ClipPresentation.h"
#include "Quillmere/Model/FallbackMoveIn.h"
#include "Quillmere/Model/FallbackStore.h"
#include "Quillmere/Model/ModelContext.h"
#include "Quillmere/Model/ReadConnection.h"
#include "Quillmere/Model/StoreBesideFiles.h"
#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Platform/Core/PrivateDirectory.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <algorithm>
#include <set>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmere::UnsavedRecovery {

QStringList all(const QString &storePath)
{
    std::vector<FallbackStore::Folder> folders = FallbackStore::folders(storePath);
    // Where files went when the store's folder could not take them, before the folders above were used.
    const QFileInfo folder(QFileInfo(storePath).absolutePath());
    folders.push_back({FallbackStore::Folder::Kind::beside, folder.absolutePath(),
                       folder.fileName() + QLatin1Char('-') + QFileInfo(storePath).fileName()});
    QStringList paths;
    std::set<QString> looked;
    for (const FallbackStore::Folder &spot : folders) {
        const QString prefix = spot.stem + QStringLiteral(".unsaved-");
        const QDir dir(spot.path);
        if (!dir.exists() || !looked.insert(dir.canonicalPath() + QLatin1Char('/') + prefix).second
            || (spot.kind == FallbackStore::Folder::Kind::temporary && !preparePrivateDirectory(spot.path, false)))
            continue;
        // Links and FIFOs too: they are refused on reading, and told of.
        for (const QString &name : dir.entryList({prefix + QStringLiteral("*.json")}, QDir::Files | QDir::System))
            paths << dir.filePath(name);
    }
    // By the UTC time their names end in, which is by age; without ".json", a later file of the same
    // second ("-2") comes after the first.
    std::ranges::stable_sort(paths, {}, [](const QString &path) {
        return path.mid(path.lastIndexOf(QStringLiteral(".unsaved-"))).chopped(5);
    });
    return paths;
}

QStringList converted(const QString &storePath, const QStringList &fallbacks)
{
    // Named after the store's own stem in each folder: another store's fallback is never taken.
    QStringList found;
    for (const FallbackStore::Folder &folder : FallbackStore::folders(storePath)) {
        const QString stem = QFileInfo(folder.path).absoluteFilePath() + QLatin1Char('/') + folder.stem;
        const QRegularExpression name(
            QStringLiteral("^%1\\.unsaved(\\.\\d+)?\\.fallback$").arg(QRegularExpression::escape(stem)));
        for (const QString &path : fallbacks)
            if (name.match(QFileInfo(path).absoluteFilePath()).hasMatch() && !found.contains(path))
                found << path;
    }
    return found;
}

namespace {

constexpr qsizetype maxClips = 100000;
constexpr qsizetype maxPages = 1000;
// Members beside the clips (the Pages, the time) are small; a file that says otherwise is not ours.
constexpr qint64 maxMemberBytes = 4 * 1024 * 1024;

QString tooLarge()
{
    return QStringLiteral("larger than %1 MiB").arg(maxFileBytes / (1024 * 1024));
}

QString tooMany(qsizetype bound, const char *what)
{
    return QStringLiteral("more than %1 %2, more than a recovery file holds").arg(bound).arg(QLatin1String(what));
}

std::optional<QString> text(const QJsonObject &o, const char *key)
{
    const QJsonValue v = o.value(QLatin1String(key));
    return v.isString() ? std::optional(v.toString()) : std::nullopt;
}

// A capture order is a whole number above 0; anything else is as if it were not there (0).
qint64 captureOrder(const QJsonValue &value)
{
    return std::max<qint64>(0, value.toInteger(0));
}

// A recovery file read a few clips at a time, never whole in memory, after a first pass that reads
// the other members and counts the clips, whichever order they come in.
class Reader {
public:
    using PageIn = std::function<PageRef(const QString &name, const QString &colorName)>;

    // The Pages the file names are asked of `pageIn`. error() tells why a file is refused: it is not a
    // regular file, is too large or is not a recovery file; one that breaks off has the clips before
    // the break.
    Reader(const QString &path, PageIn pageIn) : m_pageIn(std::move(pageIn)) { open(path); }

    // The next clips into `out`, in no store: up to a slice, or fewer once sliceBytes of content
    // are read (at least one); none at the end. False when the file cannot be read.
    bool next(std::vector<ClipRef> *out)
    {
        out->clear();
        for (qint64 bytes = 0; m_error.isEmpty() && m_taken < m_clips
             && qsizetype(out->size()) < FallbackMoveIn::sliceClips && bytes < sliceBytes;
             ++m_taken) {
            // Only the values the first pass counted are read: what follows a break is not read again.
            QByteArray raw;
            if (!(m_taken > 0 ? take(',') : m_file.seek(m_clipsAt)) || !value(&raw, maxFileBytes))
                return fail();
            if (ClipRef clip = clipOf(raw)) {
                bytes += clip->payloadByteCount();
                out->push_back(std::move(clip));
            }
        }
        return m_error.isEmpty();
    }

    const QString &error() const { return m_error; }

    QDateTime unsavedAt;
    // The clips left out so far because they could not be read (bad base64, say), and those lost
    // with the end of a file that breaks off (-1: it does not say how many it held).
    int unreadable = 0;
    int lost = 0;

private:
    bool open(const QString &path)
    {
        // Never follows a link nor waits for a writer at the other end of a FIFO.
        const int fd =
            ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (fd < 0)
            return fail(errno == ELOOP ? QStringLiteral("it is a link, not a file") : qt_error_string(errno));
        if (!m_file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
            ::close(fd);
            return fail(m_file.errorString());
        }
        struct stat info {};
        const bool known = ::fstat(fd, &info) == 0;
        if (!known || !S_ISREG(info.st_mode) || info.st_size > maxFileBytes)
            return fail(!known                      ? qt_error_string(errno)
                            : S_ISREG(info.st_mode) ? tooLarge()
                                                    : QStringLiteral("it is not a regular file"));
        // Without a time of its own, it was written when it was last changed.
        unsavedAt = QDateTime::fromSecsSinceEpoch(info.st_mtime, Qt::UTC);
        bool inClips = false;
        qint64 clipCount = -1;
        const bool whole =
            take('{') && list('}', [&] {
                QByteArray key, raw("[");
                if (!value(&key, 64) || !key.startsWith('"') || !take(':'))
                    return false;
                if (key == "\"clips\"") {
                    if (!take('['))
                        return false;
                    m_clipsAt = m_file.pos();
                    inClips = !list(']', [&] {
                        return value(nullptr, maxFileBytes)
                            && (++m_clips <= maxClips || fail(tooMany(maxClips, "clips")));
                    });
                    return !inClips;
                }
                // Wrapped in an array, a member that is no object or array parses too.
                if (!value(&raw, maxMemberBytes))
                    return false;
                const QJsonValue member = QJsonDocument::fromJson(raw + ']').array().first();
                if (member.isUndefined())
                    return false;
                if (key == "\"pages\"") {
                    if (member.toArray().size() > maxPages)
                        return fail(tooMany(maxPages, "Pages"));
                    for (const QJsonValue &page : member.toArray())
                        if (const auto name = text(page.toObject(), "name"))
                            pageNamed(*name, text(page.toObject(), "colorName").value_or(QString()));
                } else if (key == "\"unsavedAt\"") {
                    if (const auto at = QDateTime::fromString(member.toString(), Qt::ISODateWithMs); at.isValid())
                        unsavedAt = at;
                } else if (key == "\"lowestCaptureOrder\"") {
                    m_lowestCaptureOrder = captureOrder(member);
                } else if (key == "\"clipCount\"" && member.isDouble()) {
                    clipCount = qint64(std::clamp(member.toDouble(), 0.0, double(maxClips)));
                }
                return true;
            });
        // A file that breaks off in its clips (cut short, or garbage from there on) keeps those before
        // the break; past them, the break takes none.
        if (!whole && (inClips || m_clipsAt < 0))
            lost = clipCount < 0 ? -1 : int(std::max<qint64>(0, clipCount - m_clips));
        return whole || (m_error.isEmpty() && (m_clipsAt >= 0 || clipCount >= 0)) || fail();
    }

    // Keeps the first reason the file could not be read; false.
    bool fail(const QString &why = QStringLiteral("not a recovery file"))
    {
        if (m_error.isEmpty())
            m_error = why;
        return false;
    }

    // The next byte after white space, left unread; 0 at the end, past maxFileBytes or on a read error.
    char ahead()
    {
        for (char c = 0; m_file.peek(&c, 1) == 1; m_file.skip(1)) {
            // A file that grows past the bound after it was opened is refused all the same.
            if (m_file.pos() >= maxFileBytes)
                return char(fail(tooLarge()));
            if (!QByteArrayView(" \n\r\t").contains(c))
                return c;
        }
        if (m_file.error() != QFileDevice::NoError)
            fail(m_file.errorString());
        return 0;
    }

    bool take(char wanted) { return ahead() == wanted && m_file.skip(1) == 1; }

    // Moves past values up to `close`, each by `each`: false when one is not read or they do not end.
    bool list(char close, const std::function<bool()> &each)
    {
        for (bool first = true; !take(close); first = false)
            if ((!first && !take(',')) || !each())
                return false;
        return true;
    }

    // Moves past one JSON value, appended to `out`; false when none comes or past `max` bytes. Only
    // strings and nesting are followed: the value is checked when it is parsed.
    bool value(QByteArray *out, qint64 max)
    {
        if (!ahead())
            return false;
        int depth = 0;
        bool inString = false, escaped = false;
        for (qint64 taken = 0;;) {
            const QByteArray chunk = m_file.peek(64 * 1024);
            qsizetype used = 0;
            bool end = false;
            while (used < chunk.size() && !end) {
                const char c = chunk[used];
                // Outside any nesting, this ends a number or a word, and stays unread.
                if ((end = !inString && depth == 0 && QByteArrayView("}], \n\r\t").contains(c)))
                    break;
                ++used;
                if (escaped || (inString && c == '\\'))
                    escaped = !escaped;
                else if (c == '"')
                    end = !(inString = !inString) && depth == 0;
                else if (!inString && (c == '{' || c == '['))
                    ++depth;
                else if (!inString && (c == '}' || c == ']'))
                    end = --depth == 0;
            }
            if (out)
                out->append(chunk.constData(), used);
            m_file.skip(used);
            taken += used;
            if (m_file.pos() > maxFileBytes)
                return fail(tooLarge());
            if (taken > max || end)
                return taken <= max && taken > 0;
            if (chunk.isEmpty())
                return m_file.error() != QFileDevice::NoError && fail(m_file.errorString());
        }
    }

    PageRef pageNamed(const QString &name, const QString &colorName)
    {
        // Names only clips give count too: a file never makes more Pages than it may list.
        if (qsizetype(m_pages.size()) >= maxPages && !m_pages.count(name))
            return nullptr;
        m_pages.insert(name);
        return m_pageIn(name, colorName);
    }

    // None for a clip left out: one that cannot be read is counted, one with nothing in it is not.
    ClipRef clipOf(const QByteArray &raw)
    {
        const QJsonDocument doc = QJsonDocument::fromJson(raw);
        const QJsonObject o = doc.object();
        bool readable = doc.isObject();
        // Absent or null is none; anything else that is not base64 makes the clip unreadable.
        const auto bytes = [&](const char *key) -> std::optional<QByteArray> {
            const QJsonValue v = o.value(QLatin1String(key));
            const auto decoded =
                QByteArray::fromBase64Encoding(v.toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
            readable = readable && (v.isUndefined() || v.isNull() || (v.isString() && decoded));
            return v.isString() && decoded ? std::optional(*decoded) : std::nullopt;
        };
        // Without a date of its own, a clip is dated by the file.
        const auto date = [&](const char *key) {
            const QDateTime at = QDateTime::fromString(o.value(QLatin1String(key)).toString(), Qt::ISODateWithMs);
            return at.isValid() ? at : unsavedAt;
        };
        const std::optional<QByteArray> image = bytes("imageDataBase64"), file = bytes("fileDataBase64");
        if (!readable) {
            ++unreadable;
            return nullptr;
        }
        auto clip = std::make_shared<ClipItem>();
        clip->setKind(clipKindOrText(o.value(QLatin1String("kind")).toString()));
        // A file clip's text is its list of paths and stays whole, as when it was copied.
        clip->setText(clip->kind() == ClipKind::file ? text(o, "text") : CapturedContent::capText(text(o, "text")));
        clip->setImageData(image);
        clip->setFileData(file);
        clip->setFileName(text(o, "fileName"));
        if (!clip->text() && !image && !file && !clip->fileName())
            return nullptr;
        for (const auto &[key, set] : {std::pair{"fileTypeIdentifier", &ClipItem::setFileTypeIdentifier},
                                       {"sourceAppName", &ClipItem::setSourceAppName},
                                       {"sourceAppBundleID", &ClipItem::setSourceAppBundleID},
                                       {"customTitle", &ClipItem::setCustomTitle}})
            (*clip.*set)(text(o, key));
        clip->setRecognizedText(CapturedContent::capText(text(o, "recognizedText")));
        clip->setContentHash(clip->computeContentHash());
        clip->setPayloadByteCount(payloadByteCount(*clip));
        clip->setCreatedAt(date("createdAt"));
        clip->setIsPinned(o.value(QLatin1String("isPinned")).toBool());
        // Never below the lowest the file names, which decides how far its clips are raised.
        if (const qint64 order = captureOrder(o.value(QLatin1String("captureOrder"))))
            clip->setCaptureOrder(std::max(order, m_lowestCaptureOrder));
        if (const auto pageName = text(o, "pageName"))
            clip->setPinboard(pageNamed(*pageName, {}));
        // One filed on a Page is kept, never temporary.
        clip->setIsSavedToPage(clip->pinboard() != nullptr);
        if (text(o, "expiresAt") && !clip->pinboard())
            clip->setExpiresAt(date("expiresAt"));
        return clip;
    }

    PageIn m_pageIn;
    std::set<QString> m_pages;
    QFile m_file;
    QString m_error;
    qint64 m_lowestCaptureOrder = 0;
    qint64 m_clipsAt = -1;
    // The clips the first pass found whole (those before a break), and how many were read since.
    qint64 m_clips = 0;
    qint64 m_taken = 0;
};

// The clip of `ctx` with the content of `clip`: the newest, unless another is on the same Page.
ClipRef sameContent(const ModelContext &ctx, const ClipItem &clip)
{
    const auto pageName = [](const ClipItem &c) { return c.pinboard() ? c.pinboard()->name() : QString(); };
    const std::vector<ClipRef> found = ctx.clipsWithHash(clip.contentHash());
    for (const ClipRef &own : found)
        if (pageName(*own) == pageName(clip))
            return own;
    return found.empty() ? nullptr : found.front();
}

// Writes recovery files' clips into one fallback store, matched against the store's.
class Converter {
public:
    // Opens the store and the fallback store; opened() tells whether both are, `error` why not.
    Converter(const QString &storePath, const QDateTime &now, QString *error) : m_storeRead(storePath), m_now(now)
    {
        // Dated now, what it adds wins over the state the store had when it was read.
        const Clock clock = [now] { return now; };
        m_store = std::make_unique<ModelContext>(m_storeRead.db(), clock);
        if (!m_store->load(error))
            return;
        // One an earlier conversion left may hold some of the same clips: it takes the rest.
        for (const QString &path : converted(storePath, FallbackStore::all(storePath)))
            if ((m_fallback = ModelContainer::open(path, clock, error)))
                return;
        *error = QStringLiteral("no folder takes a fallback store");
        const auto place = FallbackStore::place(storePath);
        const QString path =
            place ? FallbackStore::newFile(place->first.chopped(9) + QStringLiteral(".unsaved.fallback")) : QString();
        if (!path.isEmpty() && !(m_fallback = ModelContainer::open(path, clock, error)))
            FallbackStore::remove(path);
    }

    ~Converter()
    {
        // Pages alone, named in files whose clips all expired, are kept too.
        if (m_fallback && m_fallback->mainContext().clipCount() == 0 && m_fallback->mainContext().pinboards().empty()) {
            const QString path = m_fallback->storeURL();
            m_fallback.reset();
            FallbackStore::remove(path);
        }
    }

    bool opened() const { return m_fallback != nullptr; }

    // Brings the clips of the file at `file.path` in, a slice at a time, and tells what it lacks.
    bool convert(Conversion::Done &file, const std::function<void()> &sliceSaved, QString *error)
    {
        ModelContext &into = m_fallback->mainContext();
        Reader reader(file.path,
                      [this](const QString &name, const QString &colorName) { return pageIn(name, colorName); });
        bool saved = true;
        for (std::vector<ClipRef> clips; saved && reader.next(&clips) && !clips.empty();) {
            for (const ClipRef &clip : clips)
                bringIn(clip);
            if ((saved = into.save(error)) && sliceSaved)
                sliceSaved();
        }
        file = {file.path, reader.unreadable, reader.lost};
        // The Pages a file names are saved even when no clip of it is.
        if (saved && (*error = reader.error()).isEmpty() && (!into.hasChanges() || into.save(error)))
            return true;
        // What is not saved goes, and with a file that cannot be read, the Pages it named.
        into.rollback();
        return false;
    }

private:
    // The fallback store's Page of that name: its own, else a copy of the store's (whose dedupID
    // makes the move-in take them as one), else a new one.
    PageRef pageIn(const QString &name, const QString &colorName)
    {
        ModelContext &into = m_fallback->mainContext();
        qint64 order = 0;
        for (ModelContext *ctx : {&into, m_store.get()})
            for (const PageRef &own : ctx->pinboards()) {
                if (own->name() == name && ctx == &into)
                    return own;
                if (own->name() == name) {
                    FallbackStore::takeIn(into, {own});
                    return into.pinboardWithDedupID(own->dedupID());
                }
                order = std::max(order, own->sortOrder() + 1);
            }
        auto made = std::make_shared<Pinboard>();
        made->setName(name);
        if (!colorName.isEmpty())
            made->setColorName(colorName);
        made->setSortOrder(order);
        made->setCreatedAt(m_now);
        into.insert(made);
        return made;
    }

    void bringIn(const ClipRef &clip)
    {
        ModelContext &into = m_fallback->mainContext();
        // Met earlier in this conversion or in one cut short, else stored: the history's clip, with
        // its dedupID, takes what the file adds to it.
        ClipRef own = sameContent(into, *clip);
        if (const ClipRef stored = own ? nullptr : sameContent(*m_store, *clip)) {
            FallbackStore::takeIn(into, {stored});
            own = into.clipWithDedupID(stored->dedupID());
        }
        // A temporary clip whose time ran out is left out.
        if (!own && (!clip->expiresAt() || *clip->expiresAt() > m_now))
            into.insert(clip);
        if (!own)
            return;
        // What the file says is added: a pin, a title or Page it lacks, the later date and order.
        // Nothing is taken away, and a kept clip is never made temporary.
        own->setIsPinned(own->isPinned() || clip->isPinned());
        if (!own->customTitle())
            own->setCustomTitle(clip->customTitle());
        if (!own->pinboard() && clip->pinboard()) {
            own->setPinboard(clip->pinboard());
            own->setIsSavedToPage(true);
            own->setExpiresAt(std::nullopt);
        }
        own->setCreatedAt(std::max(own->createdAt(), clip->createdAt()));
        own->setCaptureOrder(std::max(own->captureOrder(), clip->captureOrder()));
    }

    ReadConnection m_storeRead;
    // The store read on this thread; its connection never writes.
    std::unique_ptr<ModelContext> m_store;
    std::unique_ptr<ModelContainer> m_fallback;
    QDateTime m_now;
};

} // namespace

Conversion convert(const QString &storePath, const QStringList &files, const QDateTime &now,
                   const std::function<void()> &sliceSaved)
{
    Conversion done;
    if (files.isEmpty())
        return done;
    QString error;
    Converter converter(storePath, now, &error);
    for (const QString &path : files) {
        Conversion::Done file{path};
        if (converter.opened() && converter.convert(file, sliceSaved, &error)) {
            done.done.push_back(file);
            continue;
        }
        qCWarning(lcPersistence, "Unsaved copies kept in %s could not be brought back: %s", qPrintable(path),
                  qPrintable(error));
        done.kept << path;
        done.keptReason = error;
    }
    return done;
}

StoreTrouble settle(const std::vector<Conversion::Done> &done, int moved)
{
    StoreTrouble told{StoreTrouble::Kind::unsavedBroughtBack, {}, false, moved};
    QStringList unreadableKept, lostKept;
    for (const Conversion::Done &file : done) {
        // Left behind, it would come back at every start; one that lacks clips is kept aside.
        if (file.unreadable == 0 && file.lost == 0) {
            if (!QFile::remove(file.path))
                qCWarning(lcPersistence, "Could not remove %s after bringing it back", qPrintable(file.path));
            continue;
        }
        const QString kept = file.path + QLatin1Char('.') + StoreBesideFiles::unreadableTag;
        QString aside = kept;
        for (int n = 2; QFileInfo::exists(aside); ++n)
            aside = kept + QStringLiteral("-%1").arg(n);
        if (!QFile::rename(file.path, aside))
            aside = file.path;
        qCWarning(lcPersistence, "%s is kept as %s: %d copies could not be read, %d are lost (-1: unknown)",
                  qPrintable(file.path), qPrintable(aside), file.unreadable, file.lost);
        if (file.unreadable > 0)
            unreadableKept << aside;
        if (file.lost != 0)
            lostKept << aside;
        told.unreadable += file.unreadable;
        told.lost = told.lost < 0 || file.lost < 0 ? -1 : told.lost + file.lost;
    }
    told.path = unreadableKept.join(QStringLiteral(", "));
    told.lostFrom = lostKept.join(QStringLiteral(", "));
    return told;
}

} // namespace quillmere::UnsavedRecovery
