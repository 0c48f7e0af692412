#pragma once

#include "Quillmere/Model/Records.h"
#include "Quillmere/Model/StoreTrouble.h"

#include <QDateTime>
#include <QFile>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

// The recovery files older releases wrote ("STEM.unsaved-TIME.json"): converted into a fallback
// store of their own, which moves into the store as any other does (FallbackMoveIn).
namespace quillmere::UnsavedRecovery {

// A recovery file larger than this is refused on reading.
constexpr qint64 maxFileBytes = 256 * 1024 * 1024;
// A conversion commits this much at a time: only a slice of a large file is in memory.
constexpr size_t sliceClips = 50;
constexpr qint64 sliceBytes = 4 * 1024 * 1024;

// Every recovery file an older release left of this store, in every folder a fallback store may
// go to (and the one above the store's), oldest first; links and other things that are not files
// under such a name too, so that they are told of.
QStringList all(const QString &storePath);

// A recovery file read a few clips at a time, never whole in memory, after a first pass that keeps
// the Pages and the time and counts the clips, whichever order the members come in. Opened without
// following a link or waiting on a FIFO.
class Reader {
public:
    // None when the file is not a regular file, too large or not a recovery file (`error` says why);
    // one that breaks off opens with what it holds before the break.
    static std::unique_ptr<Reader> open(const QString &path, QString *error);

    // The Pages the file names; its clips are filed on these.
    const std::vector<PageRef> &pages() const { return m_pages; }
    QDateTime unsavedAt() const { return m_unsavedAt; }
    // The next clips, in no store: up to `clips`, or fewer once `bytes` of content are read (at
    // least one). Empty at the end; none when the file could no longer be read.
    std::optional<std::vector<ClipRef>> next(size_t clips, qint64 bytes, QString *error);
    // The clips left out so far because they could not be read (bad base64, say).
    int unreadable() const { return m_unreadable; }
    // The clips lost with the end of a file that breaks off: -1 when it does not say how many it held.
    int lost() const;

private:
    Reader() = default;
    bool readHeader(QString *error);
    QString error() const;
    // Keeps the first reason the file could not be read; false.
    bool fail(const QString &why);
    // The next byte; false at the end, past maxFileBytes or on a read error.
    bool get(char *c);
    // Takes `wanted` after any white space, else leaves what follows unread.
    bool take(char wanted);
    // Moves past one JSON value, appended to `out`; false at the end or past `max` bytes. Only
    // strings and nesting are followed: the value is checked when it is parsed.
    bool value(QByteArray *out, qint64 max);
    PageRef pageNamed(const QString &name, const QString &colorName);
    ClipRef clipOf(const QByteArray &raw);

    QFile m_file;
    QString m_error;
    std::vector<PageRef> m_pages;
    QDateTime m_unsavedAt;
    std::optional<qint64> m_lowestCaptureOrder;
    qint64 m_clipsAt = -1;
    // What the file says it holds, when it says.
    qint64 m_clipCount = -1;
    // The clips the first pass found whole (those before a break), and how many were read since.
    qint64 m_clips = 0;
    qint64 m_taken = 0;
    bool m_broken = false;
    int m_unreadable = 0;
};

struct Conversion {
    // Files whose readable clips are all in the fallback store, with what they lack.
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

// The fallback stores of `fallbacks` that hold recovery files' clips.
QStringList converted(const QStringList &fallbacks);

// Copies the clips of `files` into a fallback store of their own (the one an earlier conversion
// left, else a new one), a slice per transaction, `sliceSaved` called after each. A clip whose
// content the store or that fallback store holds takes that clip's dedupID, so that the move-in
// merges them; every record is dated its file's time, so that what the file says wins over an older
// state only. A temporary clip whose time ran out by `now` is left out. Blocks: for a worker.
Conversion convert(const QString &storePath, const QStringList &files, const QDateTime &now,
                   const std::function<void()> &sliceSaved = {});

// Once the fallback store has moved in, `moved` clips new to the history: removes each file done,
// or keeps it aside under a name not looked for again when it lacks clips, and tells of it all.
StoreTrouble settle(const std::vector<Conversion::Done> &done, int moved);

} // namespace quillmere::UnsavedRecovery
