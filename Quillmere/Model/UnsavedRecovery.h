#pragma once

#include "Quillmere/Model/CapturedContent.h"
#include "Quillmere/Model/Records.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <chrono>
#include <memory>
#include <optional>
#include <vector>

namespace quillmere {
class ClipStore;
}

namespace quillmere::UnsavedRecovery {

// A recovery file larger than these is refused on reading.
constexpr qint64 maxFileBytes = 256 * 1024 * 1024;
constexpr qsizetype maxClips = 100000;
constexpr qsizetype maxPages = 1000;

// Every recovery file an older release left of this store, in every folder a fallback store may
// go to (and the one above the store's), oldest first; links and other things that are not files
// under such a name too, so that they are told of.
QStringList all(const QString &storePath);
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
    // Its place in the order of capture where it was made; 0 when the file does not say.
    qint64 captureOrder = 0;

    // What its content takes in memory, about.
    qint64 bytes() const
    {
        return content.imageData.value_or(QByteArray()).size() + content.fileData.value_or(QByteArray()).size()
            + content.text.value_or(QString()).size() * 2;
    }
};

// A recovery file read a few clips at a time on any thread (one thread at a time), so that a large
// one is never in memory whole. Opened without following a link or waiting on a FIFO.
class Reader {
public:
    // None when the file is not a regular file, too large or not a recovery file (`error` says why);
    // one that breaks off opens with what it holds before the break.
    static std::unique_ptr<Reader> open(const QString &path, QString *error);
    ~Reader();
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    const std::vector<Page> &pages() const { return m_pages; }
    QDateTime unsavedAt() const { return m_unsavedAt; }
    // The lowest capture order of the clips written at that time, in this file and the others
    // written with it; none when the file does not say.
    std::optional<qint64> lowestCaptureOrder() const { return m_lowestCaptureOrder; }
    // The next clips: up to `clips` of them, or fewer once `bytes` of content are read (at least
    // one). Empty at the end; none when the file could no longer be read.
    std::optional<std::vector<Clip>> next(size_t clips, qint64 bytes, QString *error);
    // The clips met so far that were left out because they could not be read (bad base64, say).
    int unreadable() const { return m_unreadable; }
    // The clips lost with the end of a file that breaks off (cut short, or garbage from there on):
    // next() gives those before the break. -1 when the file does not say how many it held.
    int lost() const;

private:
    class Stream;
    explicit Reader(std::unique_ptr<Stream> stream);
    bool readHeader(QString *error);
    bool clipOf(const QByteArray &raw, Clip *clip);

    std::unique_ptr<Stream> m_stream;
    std::vector<Page> m_pages;
    QDateTime m_unsavedAt;
    std::optional<qint64> m_lowestCaptureOrder;
    qint64 m_clipsAt = -1;
    // What the file says it holds, when it says; the whole clips before a break, when it breaks.
    qint64 m_clipCount = -1;
    qint64 m_readable = -1;
    qint64 m_taken = 0;
    bool m_broken = false;
    bool m_clipsBegun = false;
    bool m_atEnd = false;
    int m_unreadable = 0;
};

// A whole recovery file read at once, for files known to be small.
struct Contents {
    std::vector<Page> pages;
    std::vector<Clip> clips;
    int unreadable = 0;
};
std::optional<Contents> read(const QString &path, QString *error);

// How far the capture orders of the clips written at one time are raised, in all the slices and
// files they come back in, to come after the history's: fixed when the first of them comes back,
// so that they keep the order they were captured in.
struct Lift {
    // Of the file the next clips come from.
    QDateTime unsavedAt;
    std::optional<qint64> lowest;
    void follow(const Reader &reader)
    {
        unsavedAt = reader.unsavedAt();
        lowest = reader.lowestCaptureOrder();
    }

    // The spill it was fixed for, and by how much.
    std::optional<std::pair<QDateTime, qint64>> fixedFor;
    qint64 by = 0;
};

// Brings `clips` into the store, with the `pages` they name, as a capture would (content already
// stored is dated the later of the two, not copied) but keeping their dates, and saves. New to the
// history, they come after its last capture, by `lift` (by the lowest of `clips` without one);
// stored already, a clip keeps the later of the two orders. Returns how many of them are new to
// the history (a temporary clip whose time ran out is not brought back), or -1 when the save did
// not go through (`error` says why).
int bringBack(ClipStore &store, const std::vector<Page> &pages, const std::vector<Clip> &clips, QString *error,
              Lift *lift = nullptr);

} // namespace quillmere::UnsavedRecovery
