// A backup's clips taken on the main thread, their stored images and files read later off it.
#include "Quillmere/Archive/BackupArchive.h"

#include "Quillmere/Model/StoreDamage.h"
#include "Quillmere/Model/StoreReader.h"
#include "Quillmere/Platform/Core/HandOver.h"

#include <QThreadPool>
#include <QtConcurrent>

namespace quillmere {
namespace backup {

Snapshot Snapshot::take(const std::vector<ClipRef> &clips, const std::vector<PageRef> &pages,
                        const QDateTime &exportedAt, const QString &appVersion, const QString &storePath)
{
    Snapshot snapshot;
    snapshot.storePath = storePath;
    std::vector<ClipRef> kept;
    for (const ClipRef &clip : clips)
        if (clip && !clip->expiresAt())
            kept.push_back(clip);
    snapshot.withoutPayloads = ClipArchiveDocument::make({}, pages, exportedAt, appVersion);
    snapshot.withoutPayloads.manifest.clipCount = qint64(kept.size());
    for (const ClipRef &clip : kept) {
        snapshot.withoutPayloads.clips.push_back(ClipArchiveClip::from(*clip, false));
        const qint64 row = clip->persistentModelID().rowID;
        // Bytes in memory may not be saved yet; those on disk are read later, off this thread.
        auto payload = [&](bool has, bool loaded, auto read) -> std::optional<Payload> {
            if (!has)
                return std::nullopt;
            if (loaded || storePath.isEmpty() || row <= 0)
                return Payload{(clip.get()->*read)().value_or(QByteArray()), row};
            return Payload{std::nullopt, row};
        };
        snapshot.images.push_back(payload(clip->hasImageData(), clip->isImageDataLoaded(), &ClipItem::imageData));
        snapshot.files.push_back(payload(clip->hasFileData(), clip->isFileDataLoaded(), &ClipItem::fileData));
    }
    return snapshot;
}

ArchiveResult<ClipArchiveDocument, QString> Snapshot::document() &&
{
    ClipArchiveDocument document = std::move(withoutPayloads);
    std::vector<bool> deleted(document.clips.size(), false);
    const bool fromStore = std::any_of(images.begin(), images.end(), [](const auto &p) { return p && !p->bytes; })
        || std::any_of(files.begin(), files.end(), [](const auto &p) { return p && !p->bytes; });
    if (fromStore) {
        StoreReader store(storePath);
        const auto unread = [&store] {
            return store.metDamage() ? StoreDamage::damageMessage()
                                     : QStringLiteral("The history couldn't be read: %1").arg(store.error());
        };
        if (!store.isOpen() || !store.beginSnapshot())
            return unread();
        for (const auto &[payloads, kind] :
             {std::pair{&images, storerow::Blob::image}, std::pair{&files, storerow::Blob::file}}) {
            for (size_t i = 0; i < payloads->size(); ++i) {
                std::optional<Payload> &payload = (*payloads)[i];
                if (!payload || payload->bytes)
                    continue;
                if (!store.blob(kind, payload->row, &payload->bytes))
                    return unread();
                if (!payload->bytes)
                    deleted[i] = true;
            }
        }
    }
    std::vector<size_t> indices(document.clips.size());
    for (size_t i = 0; i < indices.size(); ++i)
        indices[i] = i;
    QtConcurrent::blockingMap(QThreadPool::globalInstance(), indices, QUILLMERE_HANDED_OVER(&indices, [&](size_t i) {
                                  if (deleted[i])
                                      return;
                                  if (images[i])
                                      document.clips[i].imageDataBase64 =
                                          archive::encodeBase64(images[i]->bytes.value_or(QByteArray()));
                                  if (files[i])
                                      document.clips[i].fileDataBase64 =
                                          archive::encodeBase64(files[i]->bytes.value_or(QByteArray()));
                                  // Read, the bytes are not needed again: the text holds them now.
                                  images[i].reset();
                                  files[i].reset();
                              }));
    takeOver(&indices);
    size_t next = 0;
    for (size_t i = 0; i < document.clips.size(); ++i)
        if (!deleted[i])
            document.clips[next++] = std::move(document.clips[i]);
    document.clips.resize(next);
    document.manifest.clipCount = qint64(next);
    return document;
}

} // namespace backup
} // namespace quillmere
