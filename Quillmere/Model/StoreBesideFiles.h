#pragma once

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

// Copies cut short are removed and named; kept and set-aside stores holding clips the store lacks
// are named, unless told of before as they are. The files are read on a worker; `tell` gets the words
// for the user, if any, on `receiver`'s thread.
void look(QObject *receiver, Preferences &preferences, const QString &storePath,
          const std::function<void(const QString &)> &tell);

} // namespace quillmere::StoreBesideFiles
