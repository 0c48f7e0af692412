#pragma once

#include <QDateTime>
#include <QString>
#include <atomic>
#include <functional>
#include <optional>

namespace quillmere::StoreSalvage {

// The stages a salvage reaches, in order; a test stops the process at one of them as a kill would.
enum class Stage { marked, setAside, tableCopied, copied, placed, finished };
using StageHook = std::function<void(Stage)>;

struct Limits {
    // Set from another thread to stop early; what was read is let go and a later try reads it all.
    const std::atomic<bool> *stop = nullptr;
    // The same once the reading took this long; 0, never: a deadline cannot end a read the disk
    // holds, and a cut salvage starts again from nothing, so on a slow disk it might never finish.
    qint64 deadlineMs = 0;
};

// What a salvage could not keep of the history.
struct Loss {
    // At least this many clips of the damaged store were not kept; -1: not known (nothing of its
    // clips could be read, or an earlier start read it).
    int lost = -1;
    // At most this many, as the keys around the clips' pages not read leave room for: `lost` when no
    // more may be lost, -1 when nothing bounds them (a page not read with no keys around it, or one
    // its parent no longer names, which no count of the pages read can see).
    int lostAtMost = -1;
    // Clips whose content came back damaged: kept, or `leftOut` of them, rows with nothing of a
    // clip left in them (no words, no name, no bytes), which are not kept.
    int damaged = 0;
    int leftOut = 0;
};

// The loss in a few words for the log: never a bound that is not known.
QString describeLoss(const Loss &loss);

struct Outcome {
    // Where the damaged store lies now; empty when it was not moved (then it is where it was).
    QString aside;
    // A new store holding what could be read stands at the store's path.
    bool placed = false;
    // Not finished now (the damaged store not moved, the new one not written, or the reading cut):
    // nothing may take the store's place until a later try finishes it.
    bool unfinished = false;
    // Finished here what an earlier start began.
    bool resumed = false;
    // Why nothing was read back, or why the salvage could not be finished.
    QString error;
    Loss loss;
};

// Sets the damaged store at `path` aside with its companions, left as they are, and puts a store
// holding every row a lookup by its row id reads of it in its place, at a cost bounded by the
// file's size. A note beside the store names the file set aside until the new store is in place,
// so that a start cut short anywhere in between is finished by the next (resumeUnfinished) and no
// empty store ever stands where the history was. When nothing can be read, the path is left free.
Outcome salvage(const QString &path, const QDateTime &now, const StageHook &afterStage = {}, const Limits &limits = {});

// A name beside the store, `<path>.<tag>-<time>`, that neither a file nor its companions have yet.
QString freeNameBeside(const QString &path, const QString &tag, const QDateTime &now);

// The file at `path` opens as an SQLite database and passes its quick check.
bool isSound(const QString &path);

// Moves the file at `path` that is no store of ours, with its companions, to a free name
// `<path>.unreadable-<time>`, left as it is; that name, or empty with `error` set.
QString setAside(const QString &path, const QDateTime &now, QString *error);

// Finishes the salvage of the store at `path` that an earlier start began; none when there is none.
std::optional<Outcome> resumeUnfinished(const QString &path, const StageHook &afterStage = {},
                                        const Limits &limits = {});

// An earlier start left a salvage of the store at `path` to finish; looks only for its note.
bool hasUnfinished(const QString &path);

} // namespace quillmere::StoreSalvage
