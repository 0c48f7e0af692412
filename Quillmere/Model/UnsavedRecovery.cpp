#include "Quillmere/Model/UnsavedRecovery.h"

#include "Quillmere/Model/FallbackStore.h"
#include "Quillmere/Model/ModelContext.h"
#include "Quillmere/Model/ReadConnection.h"
#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Platform/Core/PrivateDirectory.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <algorithm>

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

QStringList converted(const QStringList &fallbacks)
{
    static const QRegularExpression name(QStringLiteral("\\.unsaved(\\.\\d+)?\\.fallback$"));
    return fallbacks.filter(name);
}

namespace {

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
        const Clock clock = [this] { return m_stamp; };
        m_store = std::make_unique<ModelContext>(m_storeRead.db(), clock);
        if (!m_store->load(error))
            return false;
        // One an earlier conversion left may hold some of the same clips: it takes the rest.
        for (const QString &path : converted(FallbackStore::all(storePath)))
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
        m_stamp = reader.unsavedAt();
        ModelContext &into = m_fallback->mainContext();
        for (const PageRef &page : reader.pages())
            pageIn(*page);
        for (;;) {
            const auto clips = reader.next(sliceClips, sliceBytes, error);
            if (!clips || clips->empty())
                return clips.has_value();
            for (const ClipRef &clip : *clips)
                place(clip);
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
        if (m_fallback && m_fallback->mainContext().clipCount() == 0) {
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

    void place(const ClipRef &clip)
    {
        ModelContext &into = m_fallback->mainContext();
        if (clip->pinboard()) {
            clip->setPinboard(pageIn(*clip->pinboard()));
            clip->setIsSavedToPage(true);
            clip->setExpiresAt(std::nullopt);
        }
        // Met earlier in this conversion, or in one cut short: the later state wins, and the clip is
        // dated and ordered by its latest capture.
        if (const ClipRef own = sameContent(into, *clip)) {
            if (!own->modifiedAt().isValid() || m_stamp >= own->modifiedAt()) {
                own->setIsPinned(clip->isPinned());
                own->setCustomTitle(clip->customTitle());
                own->setPinboard(clip->pinboard());
                own->setIsSavedToPage(clip->isSavedToPage());
                own->setExpiresAt(clip->expiresAt());
            }
            own->setCreatedAt(std::max(own->createdAt(), clip->createdAt()));
            own->setCaptureOrder(std::max(own->captureOrder(), clip->captureOrder()));
            return;
        }
        if (const ClipRef stored = sameContent(*m_store, *clip)) {
            clip->setDedupID(stored->dedupID());
            clip->setLinkTitle(stored->linkTitle());
            clip->setCreatedAt(std::max(stored->createdAt(), clip->createdAt()));
        } else if (clip->expiresAt() && *clip->expiresAt() <= m_now) {
            // A temporary clip whose time ran out meanwhile is not brought back.
            return;
        }
        into.insert(clip);
    }

    ReadConnection m_storeRead;
    // The store read on this thread; its connection never writes.
    std::unique_ptr<ModelContext> m_store;
    std::unique_ptr<ModelContainer> m_fallback;
    QDateTime m_now;
    // Every record saved is dated so: the time of the file it comes from.
    QDateTime m_stamp;
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
            done.done.push_back({path, reader->unreadable(), reader->lost()});
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
