#pragma once

#include <QString>
#include <QStringList>
#include <vector>

// The recovery files earlier releases wrote ("STEM.unsaved-TIME.json"). They are no longer read:
// a start names those it finds, with the clips each holds, and leaves them as they are.
namespace quillmere::OldRecoveryFiles {

// No more of a file than this is read to count its clips; a larger one is not counted.
constexpr qint64 maxCountedBytes = 256 * 1024 * 1024;

struct File {
    QString path;
    // The entries of its list of clips; -1 when they cannot be counted.
    int clips = -1;
};

// Every recovery file an earlier release left of this store, in every folder a fallback store may
// go to (and the one above the store's), oldest first; anything else under such a name too.
// Touches the disk.
QStringList all(const QString &storePath);

// The entries of the top-level "clips" list of the file at `path`, reading at most maxCountedBytes
// and never following a link nor waiting on a FIFO; -1 when the file cannot be read that far or
// is no recovery file. Blocks.
int countClips(const QString &path);

struct Found {
    QStringList all;
    // Those not in the list it was given, counted.
    std::vector<File> untold;
};

// Every recovery file of the store at `storePath`, and those of them not in `told`, counted. Blocks:
// for a worker.
Found look(const QString &storePath, const QStringList &told);

} // namespace quillmere::OldRecoveryFiles
