#include "Quillmere/Archive/StorageFacts.h"

#include "Quillmere/Model/ClipPresentation.h"
#include "Quillmere/Model/ReadConnection.h"

#include <QDirIterator>
#include <QFileInfo>
#include <QHash>
#include <QSqlDatabase>
#include <QSqlQuery>

namespace quillmere {
namespace {

QString previewOf(const ClipItem &clip)
{
    const SafePresentation shown = safePresentation(clip);
    return shown.displayName.value_or(shown.safePreview);
}

std::optional<QString> optionalText(const QVariant &v)
{
    return v.isNull() ? std::nullopt : std::optional<QString>(v.toString());
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
    ReadConnection connection(storePath);
    if (!connection.isOpen())
        return facts;
    const QSqlDatabase db = connection.db();

    QHash<qint64, QString> pageNames;
    {
        QSqlQuery q(db);
        if (q.exec(QStringLiteral("SELECT id, name FROM pinboards")))
            while (q.next()) {
                const QString name = q.value(1).toString();
                pageNames.insert(q.value(0).toLongLong(), name.isEmpty() ? QStringLiteral("Untitled") : name);
            }
    }

    QSqlQuery q(db);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral(
        "SELECT dedupID, createdAt, kind, text, customTitle, fileName, isPinned, contentHash, pinboardID,"
        " imageSize, fileSize FROM clips ORDER BY createdAt DESC, id DESC LIMIT ? OFFSET ?"));
    for (qint64 offset = 0;; offset += batchSize) {
        q.bindValue(0, batchSize);
        q.bindValue(1, offset);
        if (!q.exec())
            break;
        int read = 0;
        while (q.next()) {
            ++read;
            // A detached record carries just what the preview needs.
            ClipItem clip;
            clip.setKindRawValue(q.value(2).toString());
            clip.setText(optionalText(q.value(3)));
            clip.setCustomTitle(optionalText(q.value(4)));
            clip.setFileName(optionalText(q.value(5)));

            ClipFact fact;
            fact.id = QUuid::fromString(q.value(0).toString());
            fact.kind = clip.kind();
            fact.byteCount = std::max<qint64>(0, q.value(9).toLongLong())
                + std::max<qint64>(0, q.value(10).toLongLong()) + (clip.text() ? utf8ByteCount(*clip.text()) : 0);
            fact.createdAt = QDateTime::fromMSecsSinceEpoch(q.value(1).toLongLong(), Qt::UTC);
            if (!q.value(8).isNull())
                fact.pageName = pageNames.value(q.value(8).toLongLong());
            fact.isPinned = q.value(6).toBool();
            fact.contentHash = q.value(7).toString();
            fact.preview = previewOf(clip);
            facts.push_back(std::move(fact));
        }
        q.finish();
        if (read < batchSize)
            break;
    }
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
