#pragma once

#include "Quillmere/Model/Records.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

// The recovery files older releases wrote beside the store ("STEM.unsaved-TIME.json"): converted
// into a fallback store of their own, which moves into the store as any other does (FallbackMoveIn).
namespace quillmere::UnsavedRecovery {

// A recovery file larger than these is refused on reading.
constexpr qint64 maxFileBytes = 256 * 1024 * 1024;
constexpr qsizetype maxClips = 100000;
constexpr qsizetype maxPages = 1000;
// A conversion commits this much at a time: only a slice of a large file is in memory.
constexpr size_t sliceClips = 50;
constexpr qint64 sliceBytes = 4 * 1024 * 1024;

// Every recovery file an older release left of this store, in every folder a fallback store may
// go to (and the one above the store's), oldest first; links and other things that are not files
// under such a name too, so that they are told of.
QStringList all(const QString &storePath);

// A recovery file read a few clips at a time, so that a large one is never in memory whole.
// Opened without following a link or waiting on a FIFO.
class Reader {
public:
    // None when the file is not a regular file, too large or not a recovery file (`error` says why);
    // one that breaks off opens with what it holds before the break.
    static std::unique_ptr<Reader> open(const QString &path, QString *error);
    ~Reader();
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    // The Pages the file names, by name and colour; its clips are filed on these.
    const std::vector<PageRef> &pages() const { return m_pages; }
    QDateTime unsavedAt() const { return m_unsavedAt; }
    // The next clips, not in any store: up to `clips` of them, or fewer once `bytes` of content are
    // read (at least one). Empty at the end; none when the file could no longer be read.
    std::optional<std::vector<ClipRef>> next(size_t clips, qint64 bytes, QString *error);
    // The clips met so far that were left out because they could not be read (bad base64, say).
    int unreadable() const { return m_unreadable; }
    // The clips lost with the end of a file that breaks off (cut short, or garbage from there on):
    // next() gives those before the break. -1 when the file does not say how many it held.
    int lost() const;

private:
    class Stream;
    explicit Reader(std::unique_ptr<Stream> stream);
    bool readHeader(QString *error);
    // The file's Page of that name, made when it lists none; none past maxPages.
    PageRef pageNamed(const QString &name, const QString &colorName);
    ClipRef clipOf(const QByteArray &raw);

    std::unique_ptr<Stream> m_stream;
    std::vector<PageRef> m_pages;
    QDateTime m_unsavedAt;
    std::optional<qint64> m_lowestCaptureOrder;
    qint64 m_clipsAt = -1;
    // What the file says it holds, when it says.
    qint64 m_clipCount = -1;
    // The clip values the first pass found whole (those before a break, when there is one), and
    // how many of them were read since.
    qint64 m_clips = 0;
    qint64 m_taken = 0;
    bool m_broken = false;
    int m_unreadable = 0;
};

// What a conversion did with the recovery files it was given.
struct Conversion {
    // Files whose every readable clip the fallback store holds: once it has moved in, each is
    // removed, or kept aside when some of its clips could not be read or it breaks off.
    struct Done {
        QString path;
        int unreadable = 0;
        int lost = 0;
    };
    std::vector<Done> done;
    // Files left as they are, and why the last of them was.
    QStringList kept;
    QString keptReason;
};

// The fallback stores that hold recovery files' clips, of all the fallback stores `fallbacks`.
QStringList converted(const QStringList &fallbacks);

// Copies the clips of the recovery `files` of the store at `storePath` into a fallback store of
// their own (the one an earlier conversion left, else a new one), a slice per transaction, calling
// `sliceSaved` after each. A clip whose content the store or that fallback store holds already
// takes that clip's dedupID, so that the move-in merges them; each record is dated its file's time,
// so that what the file says wins over an older state and loses to a later one. A temporary clip
// whose time ran out by `now` is left out. Touches the disk: for a worker.
Conversion convert(const QString &storePath, const QStringList &files, const QDateTime &now,
                   const std::function<void()> &sliceSaved = {});

// What became of the files a conversion was done with, once its fallback store has moved in.
struct Settled {
    int unreadable = 0;
    QStringList unreadableKept;
    int lost = 0;
    QStringList lostKept;
};
// Removes each file done, or keeps it aside under a name not looked for again. Touches the disk.
Settled settle(const std::vector<Conversion::Done> &done);

} // namespace quillmere::UnsavedRecovery
