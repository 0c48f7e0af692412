#pragma once

#include "Quillmere/Model/CapturedContent.h"
#include "Quillmere/Model/Records.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>
#include <vector>

namespace quillmere {
class ClipStore;
}

namespace quillmere::UnsavedRecovery {

// A recovery file is read whole; beyond these it is refused rather than read.
constexpr qint64 maxFileBytes = 256 * 1024 * 1024;
constexpr qsizetype maxClips = 100000;
constexpr qsizetype maxPages = 1000;

// What a store could not take before quitting, kept as JSON beside it: clips with their content
// and the Pages they name. When the store's folder cannot take it, it goes to the folder above.
// Empty when nothing could be written (`error` says why).
QString write(const QString &storePath, const std::vector<std::shared_ptr<PersistentModel>> &records,
              const QDateTime &now, QString *error);
// Every such file of this store, oldest first.
QStringList all(const QString &storePath);
// The newest such file; empty when there is none.
QString newest(const QString &storePath);

// A recovery file as read, its contents checked and hashed: ready for the store's thread.
struct Contents {
    struct Page {
        QString name;
        QString colorName;
    };
    struct Clip {
        CapturedContent content;
        QString hash;
        QDateTime createdAt;
        bool isPinned = false;
        std::optional<QString> customTitle;
        std::optional<QString> pageName;
        std::optional<QDateTime> expiresAt;
    };
    std::vector<Page> pages;
    std::vector<Clip> clips;
};
// Reads a recovery file on any thread; none when it is too large or not one (`error` says why).
std::optional<Contents> read(const QString &path, QString *error);

// Brings the clips [from, to) of `contents` into the store, Pages first, as a capture would
// (content already stored is dated the later of the two, not copied) but keeping their dates,
// and saves. Returns how many are in the history now (a temporary clip whose time ran out is not
// brought back), or -1 when the save did not go through (`error` says why).
int bringBack(ClipStore &store, const Contents &contents, size_t from, size_t to, QString *error);

} // namespace quillmere::UnsavedRecovery
