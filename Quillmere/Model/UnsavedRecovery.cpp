#include "Quillmere/Model/UnsavedRecovery.h"

#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Model/FallbackStore.h"
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
