#pragma once

#include "Quillmere/Model/StoreTrouble.h"

#include <QDateTime>
#include <QStringList>
#include <functional>
#include <vector>

// The recovery files older releases wrote ("STEM.unsaved-TIME.json"): converted into a fallback
// store of their own, which moves into the store as any other does (FallbackMoveIn).
namespace quillmere::UnsavedRecovery {

// A recovery file larger than this is refused on reading.
constexpr qint64 maxFileBytes = 256 * 1024 * 1024;
// A conversion commits the move-in's slice of clips at a time, or fewer past this much content:
// only a slice of a large file is in memory.
constexpr qint64 sliceBytes = 4 * 1024 * 1024;

// Every recovery file an older release left of this store, in every folder a fallback store may
// go to (and the one above the store's), oldest first; anything else under such a name too, to be told of.
QStringList all(const QString &storePath);

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

// The fallback stores of `fallbacks` that hold recovery files' clips of the store at `storePath`.
// Touches the disk.
QStringList converted(const QString &storePath, const QStringList &fallbacks);

// Copies the clips of `files` into a fallback store of their own (the one an earlier conversion
// left, else a new one), a slice per transaction, `sliceSaved` called after each. What a file says
// of a clip the store or that fallback store holds is added to that clip; a temporary clip whose
// time ran out by `now` is left out. Blocks: for a worker.
Conversion convert(const QString &storePath, const QStringList &files, const QDateTime &now,
                   const std::function<void()> &sliceSaved = {});

// Once the fallback store has moved in, `moved` clips new to the history: removes each file done,
// or keeps it aside under a name not looked for again when it lacks clips, and tells of it all.
StoreTrouble settle(const std::vector<Conversion::Done> &done, int moved);

} // namespace quillmere::UnsavedRecovery
