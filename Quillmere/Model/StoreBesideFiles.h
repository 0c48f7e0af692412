#pragma once

#include "Quillmere/Model/StoreSalvage.h"
#include "Quillmere/Platform/Core/Preferences.h"

#include <QString>
#include <functional>

// What an earlier session, stopped while it handled the store file, left beside it, told at start.
namespace quillmere::StoreBesideFiles {

// The tags of files set aside beside the store as "NAME.<tag>-<time>": a copy cut short by the end of
// the program, the history held when a sound store took its path, a file that is no store of ours.
inline const QString unfinishedTag = QStringLiteral("unfinished");
inline const QString keptTag = QStringLiteral("kept");
inline const QString unreadableTag = QStringLiteral("unreadable");

// Remembers what the salvage that set the store aside as `aside` could not read back of it: those
// copies are in that file still, which no count of what can be read there sees.
void noteLoss(Preferences &preferences, const QString &aside, const StoreSalvage::Loss &loss);

// The histories kept or set aside beside the store at `storePath`, and the bytes they take with
// their companions. Reads the folder: not for the main thread.
struct SetAside {
    int histories = 0;
    qint64 bytes = 0;
};
SetAside setAsideFiles(const QString &storePath);

// Copies cut short are removed and named; kept and set-aside stores holding clips the store lacks,
// or copies their salvage could not read back, are named, unless told of before as they are. The files are read on a worker; `tell` gets the words
// for the user, if any, on `receiver`'s thread.
void look(QObject *receiver, Preferences &preferences, const QString &storePath,
          const std::function<void(const QString &)> &tell);

} // namespace quillmere::StoreBesideFiles
