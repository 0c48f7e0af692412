#include "Quillmere/Model/UnsavedRecovery.h"

#include "Quillmere/Model/CapturedContent.h"
#include "Quillmere/Model/ClipPresentation.h"
#include "Quillmere/Model/FallbackStore.h"
#include "Quillmere/Model/ModelContext.h"
#include "Quillmere/Model/ReadConnection.h"
#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Platform/Core/PrivateDirectory.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <algorithm>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmere::UnsavedRecovery {

QStringList all(const QString &storePath)
{
    // The names end in their UTC time: sorted by name they are sorted by age. Without ".json", a
    // later file of the same second ("-2") sorts after the first.
    std::vector<std::pair<QString, QString>> found;
    QSet<QString> looked;
    std::vector<FallbackStore::Folder> folders = FallbackStore::folders(storePath);
    // Where files went when the store's folder could not take them, before the folders above were used.
    const QString folder = QFileInfo(storePath).absolutePath();
    folders.push_back({FallbackStore::Folder::Kind::beside, QFileInfo(folder).absolutePath(),
                       QFileInfo(folder).fileName() + QLatin1Char('-') + QFileInfo(storePath).fileName()});
    for (const FallbackStore::Folder &spot : folders) {
        const QString prefix = spot.stem + QStringLiteral(".unsaved-");
        const QDir dir(spot.path);
        if (!dir.exists() || looked.contains(dir.canonicalPath() + QLatin1Char('/') + prefix))
            continue;
        looked.insert(dir.canonicalPath() + QLatin1Char('/') + prefix);
        if (spot.kind == FallbackStore::Folder::Kind::temporary && !preparePrivateDirectory(spot.path, false))
            continue;
        // Links and FIFOs too: they are refused on reading, and told of.
        for (const QString &name :
             dir.entryList({prefix + QStringLiteral("*.json")}, QDir::Files | QDir::System, QDir::Name))
            found.emplace_back(name.mid(prefix.size()).chopped(5), dir.filePath(name));
    }
    std::stable_sort(found.begin(), found.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    QStringList paths;
    for (const auto &[stamp, path] : found)
        paths << path;
    return paths;
}

QStringList converted(const QString &storePath, const QStringList &fallbacks)
{
    // Named after the store's own stem in each folder: another store's fallback is never taken.
    QStringList found;
    for (const FallbackStore::Folder &folder : FallbackStore::folders(storePath)) {
        const QRegularExpression name(
            QStringLiteral("^%1\\.unsaved(\\.\\d+)?\\.fallback$").arg(QRegularExpression::escape(folder.stem)));
        for (const QString &path : fallbacks)
            if (QFileInfo(path).absolutePath() == QFileInfo(folder.path).absoluteFilePath()
                && name.match(QFileInfo(path).fileName()).hasMatch() && !found.contains(path))
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

std::optional<QString> text(const QJsonObject &o, const char *key)
{
    const QJsonValue v = o.value(QLatin1String(key));
    return v.isString() ? std::optional<QString>(v.toString()) : std::nullopt;
}

// A capture order: a whole number above 0; anything else is as if it were not there.
std::optional<qint64> captureOrder(const QJsonValue &value)
{
    const qint64 order = value.isDouble() ? value.toInteger(0) : 0;
    return order > 0 ? std::optional(order) : std::nullopt;
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

// A recovery file read a few clips at a time, never whole in memory, after a first pass that keeps
// the Pages and the time and counts the clips, whichever order the members come in. Opened without
// following a link or waiting on a FIFO.
class Reader {
public:
    // None when the file is not a regular file, too large or not a recovery file (`error` says why);
    // one that breaks off opens with what it holds before the break.
    static std::unique_ptr<Reader> open(const QString &path, QString *error)
    {
        // Never follows a link nor waits for a writer at the other end of a FIFO.
        const int fd =
            ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        struct stat info {};
        QString why = fd < 0 && errno == ELOOP  ? QStringLiteral("it is a link, not a file")
            : fd < 0 || ::fstat(fd, &info) != 0 ? qt_error_string(errno)
            : !S_ISREG(info.st_mode)            ? QStringLiteral("it is not a regular file")
            : info.st_size > maxFileBytes       ? tooLarge()
                                                : QString();
        auto reader = std::make_unique<Reader>();
        // Without a time of its own, it was written when it was last changed.
        reader->unsavedAt = QDateTime::fromSecsSinceEpoch(info.st_mtime, Qt::UTC);
        if (fd >= 0 && !reader->m_file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
            ::close(fd);
            why = reader->m_file.errorString();
        }
        if (why.isEmpty() && reader->readHeader(&why))
            return reader;
        if (error)
            *error = why;
        return nullptr;
    }

    // The next clips, in no store: up to `clips`, or fewer once `bytes` of content are read (at
    // least one). Empty at the end; none when the file could no longer be read.
    std::optional<std::vector<ClipRef>> next(size_t clips, qint64 bytes, QString *error)
    {
        std::vector<ClipRef> out;
        qint64 taken = 0;
        while (m_taken < m_clips && out.size() < clips && taken < bytes) {
            // Only the values the first pass counted are read: what follows a break is not read again.
            const bool found = m_taken > 0 ? take(',') : m_file.seek(m_clipsAt);
            QByteArray raw;
            if (!found || !value(&raw, maxFileBytes)) {
                if (error)
                    *error = Reader::error();
                return std::nullopt;
            }
            ++m_taken;
            if (ClipRef clip = clipOf(raw)) {
                taken += payloadByteCount(*clip);
                out.push_back(std::move(clip));
            }
        }
        return out;
    }

    // The clips lost with the end of a file that breaks off: -1 when it does not say how many it held.
    int lost() const { return !m_broken ? 0 : m_clipCount < 0 ? -1 : int(std::max<qint64>(0, m_clipCount - m_clips)); }

    // The Pages the file names, on which its clips are filed, and its time.
    std::vector<PageRef> pages;
    QDateTime unsavedAt;
    // The clips left out so far because they could not be read (bad base64, say).
    int unreadable = 0;

private:
    // A file that breaks off in its clips (cut short, or garbage from there on) keeps those before the break.
    bool readHeader(QString *error)
    {
        bool inClips = false;
        const auto broken = [&](const QString &why = {}) {
            if (why.isEmpty() && m_error.isEmpty() && (m_clipsAt >= 0 || m_clipCount >= 0)) {
                // Past the clips, the break takes none of them.
                m_broken = inClips || m_clipsAt < 0;
                return true;
            }
            *error = why.isEmpty() ? Reader::error() : why;
            return false;
        };
        if (!take('{'))
            return broken();
        if (take('}'))
            return true;
        do {
            QByteArray key;
            if (!value(&key, 64) || !key.startsWith('"') || !take(':'))
                return broken();
            if (key == "\"clips\"") {
                if (!take('['))
                    return broken();
                m_clipsAt = m_file.pos();
                inClips = true;
                if (!take(']')) {
                    do {
                        if (!value(nullptr, maxFileBytes))
                            return broken();
                        if (++m_clips > maxClips)
                            return broken(
                                QStringLiteral("more than %1 clips, more than a recovery file holds").arg(maxClips));
                    } while (take(','));
                    if (!take(']'))
                        return broken();
                }
                inClips = false;
                continue;
            }
            QByteArray raw("[");
            if (!value(&raw, maxMemberBytes))
                return broken();
            const QJsonArray member = QJsonDocument::fromJson(raw + ']').array();
            if (member.isEmpty())
                return broken();
            if (key == "\"pages\"") {
                const QJsonArray listed = member.first().toArray();
                if (listed.size() > maxPages)
                    return broken(QStringLiteral("more than %1 Pages, more than a recovery file holds").arg(maxPages));
                for (const QJsonValue &value : listed)
                    if (const auto name = text(value.toObject(), "name"))
                        pageNamed(*name, text(value.toObject(), "colorName").value_or(QString()));
            } else if (key == "\"unsavedAt\"") {
                if (const auto at = QDateTime::fromString(member.first().toString(), Qt::ISODateWithMs); at.isValid())
                    unsavedAt = at;
            } else if (key == "\"lowestCaptureOrder\"") {
                m_lowestCaptureOrder = captureOrder(member.first());
            } else if (key == "\"clipCount\"" && member.first().isDouble()) {
                m_clipCount = qint64(std::clamp(member.first().toDouble(), 0.0, double(maxClips)));
            }
        } while (take(','));
        return take('}') || broken();
    }

    QString error() const { return m_error.isEmpty() ? QStringLiteral("not a recovery file") : m_error; }

    // Keeps the first reason the file could not be read; false.
    bool fail(const QString &why)
    {
        if (m_error.isEmpty())
            m_error = why;
        return false;
    }

    // The next byte; false at the end, past maxFileBytes or on a read error.
    bool get(char *c)
    {
        if (m_file.getChar(c) && m_file.pos() <= maxFileBytes)
            return true;
        *c = 0;
        if (m_file.pos() > maxFileBytes || m_file.error() != QFileDevice::NoError)
            fail(m_file.pos() > maxFileBytes ? tooLarge() : m_file.errorString());
        return false;
    }

    // Takes `wanted` after any white space, else leaves what follows unread.
    bool take(char wanted)
    {
        char c = 0;
        while (get(&c) && (c == ' ' || c == '\n' || c == '\r' || c == '\t'))
            c = 0;
        if (c == wanted)
            return true;
        if (c != 0)
            m_file.ungetChar(c);
        return false;
    }

    // Moves past one JSON value, appended to `out`; false at the end or past `max` bytes. Only
    // strings and nesting are followed: the value is checked when it is parsed.
    bool value(QByteArray *out, qint64 max)
    {
        take(' '); // the white space before it
        int depth = 0;
        bool inString = false;
        bool escaped = false;
        for (qint64 taken = 0;;) {
            const QByteArray chunk = m_file.peek(64 * 1024);
            qsizetype used = 0;
            // 1: the value ends with the byte taken last; -1: it ended before the next one.
            int end = 0;
            for (; used < chunk.size() && end == 0; ++used) {
                const char c = chunk[used];
                if (inString) {
                    if (escaped)
                        escaped = false;
                    else if (c == '\\')
                        escaped = true;
                    else if (c == '"')
                        inString = false, end = depth == 0 ? 1 : 0;
                } else if (c == '"') {
                    inString = true;
                } else if (c == '{' || c == '[') {
                    ++depth;
                } else if (c == '}' || c == ']' || c == ',' || c == ' ' || c == '\n' || c == '\r' || c == '\t') {
                    // Outside any nesting this ends a number or a word, and stays unread.
                    if (depth == 0) {
                        end = -1;
                        break;
                    }
                    if (c == '}' || c == ']')
                        end = --depth == 0 ? 1 : 0;
                }
            }
            if (out)
                out->append(chunk.constData(), used);
            m_file.skip(used);
            taken += used;
            // A file that grows past the bound after it was opened is refused all the same.
            if (m_file.pos() > maxFileBytes)
                return fail(tooLarge());
            if (taken > max || end != 0)
                return taken <= max && taken > 0;
            if (chunk.isEmpty())
                return m_file.error() != QFileDevice::NoError && fail(m_file.errorString());
        }
    }

    PageRef pageNamed(const QString &name, const QString &colorName)
    {
        for (const PageRef &page : pages)
            if (page->name() == name)
                return page;
        // Names only clips give count too: a file never makes more Pages than it may list.
        if (qsizetype(pages.size()) >= maxPages)
            return nullptr;
        auto page = std::make_shared<Pinboard>();
        page->setName(name);
        if (!colorName.isEmpty())
            page->setColorName(colorName);
        pages.push_back(page);
        return page;
    }

    // None for a clip left out: one that cannot be read is counted, one with nothing in it is not.
    ClipRef clipOf(const QByteArray &raw)
    {
        const QJsonDocument doc = QJsonDocument::fromJson(raw);
        const QJsonObject o = doc.object();
        std::optional<QByteArray> image, file;
        if (!doc.isObject() || !bytes(o, "imageDataBase64", &image) || !bytes(o, "fileDataBase64", &file)) {
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
        const QDateTime createdAt =
            QDateTime::fromString(o.value(QLatin1String("createdAt")).toString(), Qt::ISODateWithMs);
        clip->setCreatedAt(createdAt.isValid() ? createdAt : unsavedAt);
        clip->setIsPinned(o.value(QLatin1String("isPinned")).toBool());
        // Never below the lowest the file names, which decides how far its clips are raised.
        if (const auto order = captureOrder(o.value(QLatin1String("captureOrder"))))
            clip->setCaptureOrder(std::max(*order, m_lowestCaptureOrder.value_or(*order)));
        if (const auto pageName = text(o, "pageName"))
            clip->setPinboard(pageNamed(*pageName, {}));
        if (const auto expiresAt = text(o, "expiresAt")) {
            const QDateTime at = QDateTime::fromString(*expiresAt, Qt::ISODateWithMs);
            clip->setExpiresAt(at.isValid() ? at : unsavedAt);
        }
        return clip;
    }

    QFile m_file;
    QString m_error;
    std::optional<qint64> m_lowestCaptureOrder;
    qint64 m_clipsAt = -1;
    // What the file says it holds, when it says.
    qint64 m_clipCount = -1;
    // The clips the first pass found whole (those before a break), and how many were read since.
    qint64 m_clips = 0;
    qint64 m_taken = 0;
    bool m_broken = false;
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
    Converter(const QString &storePath, const QDateTime &now) : m_storeRead(storePath), m_now(now) {}

    bool open(const QString &storePath, QString *error)
    {
        // Dated now, what it adds wins over the state the store had when it was read.
        const Clock clock = [now = m_now] { return now; };
        m_store = std::make_unique<ModelContext>(m_storeRead.db(), clock);
        if (!m_store->load(error))
            return false;
        // One an earlier conversion left may hold some of the same clips: it takes the rest.
        for (const QString &path : converted(storePath, FallbackStore::all(storePath)))
            if ((m_fallback = ModelContainer::open(path, clock, error)))
                return true;
        *error = QStringLiteral("no folder takes a fallback store");
        const auto place = FallbackStore::place(storePath);
        const QString path =
            place ? FallbackStore::newFile(place->first.chopped(9) + QStringLiteral(".unsaved.fallback")) : QString();
        if (!path.isEmpty() && !(m_fallback = ModelContainer::open(path, clock, error)))
            FallbackStore::remove(path);
        return m_fallback != nullptr;
    }

    bool convert(Reader &reader, const std::function<void()> &sliceSaved, QString *error)
    {
        ModelContext &into = m_fallback->mainContext();
        for (const PageRef &page : reader.pages)
            pageIn(*page);
        for (;;) {
            const auto clips = reader.next(sliceClips, sliceBytes, error);
            if (!clips || clips->empty())
                return clips.has_value();
            for (const ClipRef &clip : *clips)
                bringIn(clip);
            if (!into.save(error)) {
                into.rollback();
                return false;
            }
            if (sliceSaved)
                sliceSaved();
        }
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

private:
    // The fallback store's Page named as `page`: its own, else a copy of the store's (whose dedupID
    // makes the move-in take them as one), else a new one.
    PageRef pageIn(const Pinboard &page)
    {
        ModelContext &into = m_fallback->mainContext();
        qint64 order = 0;
        for (ModelContext *ctx : {&into, m_store.get()})
            for (const PageRef &own : ctx->pinboards()) {
                if (own->name() == page.name() && ctx == &into)
                    return own;
                if (own->name() == page.name()) {
                    FallbackStore::takeIn(into, {own});
                    return into.pinboardWithDedupID(own->dedupID());
                }
                order = std::max(order, own->sortOrder() + 1);
            }
        auto made = std::make_shared<Pinboard>();
        made->setName(page.name());
        made->setColorName(page.colorName());
        made->setSortOrder(order);
        made->setCreatedAt(m_now);
        into.insert(made);
        return made;
    }

    // What the file says is added to a clip the history has: a pin, a title or Page it lacks, the
    // later date and order. Nothing is taken away, and a kept clip is never made temporary.
    static void addTo(ClipItem &own, const ClipItem &clip)
    {
        own.setIsPinned(own.isPinned() || clip.isPinned());
        if (!own.customTitle())
            own.setCustomTitle(clip.customTitle());
        if (!own.pinboard() && clip.pinboard()) {
            own.setPinboard(clip.pinboard());
            own.setIsSavedToPage(true);
            own.setExpiresAt(std::nullopt);
        }
        own.setCreatedAt(std::max(own.createdAt(), clip.createdAt()));
        own.setCaptureOrder(std::max(own.captureOrder(), clip.captureOrder()));
    }

    void bringIn(const ClipRef &clip)
    {
        ModelContext &into = m_fallback->mainContext();
        if (clip->pinboard()) {
            clip->setPinboard(pageIn(*clip->pinboard()));
            clip->setIsSavedToPage(true);
            clip->setExpiresAt(std::nullopt);
        }
        // Met earlier in this conversion or in one cut short, else stored: the history's clip, with
        // its dedupID, takes what the file adds to it.
        ClipRef own = sameContent(into, *clip);
        if (const ClipRef stored = own ? nullptr : sameContent(*m_store, *clip)) {
            FallbackStore::takeIn(into, {stored});
            own = into.clipWithDedupID(stored->dedupID());
        }
        if (own)
            addTo(*own, *clip);
        else if (!clip->expiresAt() || *clip->expiresAt() > m_now)
            into.insert(clip);
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
    Converter converter(storePath, now);
    const bool opened = converter.open(storePath, &error);
    for (const QString &path : files) {
        std::unique_ptr<Reader> reader = opened ? Reader::open(path, &error) : nullptr;
        if (reader && converter.convert(*reader, sliceSaved, &error)) {
            done.done.push_back({path, reader->unreadable, reader->lost()});
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
        QString aside = file.path + QStringLiteral(".unreadable");
        for (int n = 2; QFileInfo::exists(aside); ++n)
            aside = file.path + QStringLiteral(".unreadable-%1").arg(n);
        if (!QFile::rename(file.path, aside))
            aside = file.path;
        qCWarning(lcPersistence, "%s: %d copies could not be read and %s were lost with its end; it is kept as %s",
                  qPrintable(file.path), file.unreadable,
                  qPrintable(file.lost < 0 ? QStringLiteral("an unknown number") : QString::number(file.lost)),
                  qPrintable(aside));
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
