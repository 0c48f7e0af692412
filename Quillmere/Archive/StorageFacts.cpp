#include "Quillmere/Archive/StorageFacts.h"

#include "Quillmere/Model/ClipPresentation.h"
#include "Quillmere/Model/StoreReader.h"

#include <QDirIterator>
#include <QFileInfo>
#include <QHash>
#include <limits>

namespace quillmere {
namespace {

QString previewOf(const ClipItem &clip)
{
    const SafePresentation shown = safePresentation(clip);
    return shown.displayName.value_or(shown.safePreview);
}

} // namespace

ClipFact ClipFact::from(const ClipItem &clip)
{
    ClipFact fact;
    fact.id = clip.dedupID();
    fact.kind = clip.kind();
    fact.byteCount = clip.imageDataSize() + clip.fileDataSize() + (clip.text() ? utf8ByteCount(*clip.text()) : 0);
    fact.createdAt = clip.createdAt();
    if (const PageRef page = clip.pinboard())
        fact.pageName = page->displayName();
    fact.isPinned = clip.isPinned();
    fact.contentHash = clip.contentHash();
    fact.preview = previewOf(clip);
    return fact;
}

std::vector<ClipFact> ClipFact::fetchAll(const QString &storePath, int batchSize)
{
    std::vector<ClipFact> facts;
    if (storePath.isEmpty() || batchSize < 1 || !QFileInfo::exists(storePath))
        return facts;
    StoreReader store(storePath);
    if (!store.isOpen())
        return facts;

    QHash<qint64, QString> pageNames;
    store.pagesChangedSince(std::numeric_limits<qint64>::min(), [&](const storerow::Page &page) {
        pageNames.insert(page.row, page.name.isEmpty() ? QStringLiteral("Untitled") : page.name);
    });

    store.clipsNewestFirst(batchSize, [&](const storerow::Clip &row) {
        // A detached record carries just what the preview needs.
        ClipItem clip;
        clip.setKindRawValue(row.kind);
        clip.setText(row.text);
        clip.setCustomTitle(row.customTitle);
        clip.setFileName(row.fileName);

        ClipFact fact;
        fact.id = QUuid::fromString(row.dedupID);
        fact.kind = clip.kind();
        fact.byteCount = std::max<qint64>(0, row.imageSize) + std::max<qint64>(0, row.fileSize)
            + (clip.text() ? utf8ByteCount(*clip.text()) : 0);
        fact.createdAt = QDateTime::fromMSecsSinceEpoch(row.createdAt, Qt::UTC);
        if (row.pageRow)
            fact.pageName = pageNames.value(*row.pageRow);
        fact.isPinned = row.isPinned;
        fact.contentHash = row.contentHash;
        fact.preview = previewOf(clip);
        facts.push_back(std::move(fact));
    });
    return facts;
}

namespace storagestats {

qint64 itemBytes(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return 0;
    if (!info.isDir())
        return info.isFile() ? info.size() : 0;
    qint64 total = 0;
    QDirIterator it(path, QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo entry = it.fileInfo();
        if (entry.isFile() && !entry.isSymLink())
            total += entry.size();
    }
    return total;
}

qint64 onDiskBytes(const QString &storeFilePath)
{
    const QFileInfo store(storeFilePath);
    const QDir folder = store.absoluteDir();
    const QString name = store.fileName();
    return itemBytes(folder.filePath(name)) + itemBytes(folder.filePath(name + QStringLiteral("-wal")))
        + itemBytes(folder.filePath(name + QStringLiteral("-shm")))
        + itemBytes(folder.filePath(QLatin1Char('.') + name + QStringLiteral("_SUPPORT")));
}

} // namespace storagestats
} // namespace quillmere
