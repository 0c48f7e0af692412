#pragma once

#include "Quillmere/Platform/Core/Preferences.h"

#include <QString>
#include <functional>

// What an earlier session, stopped while it handled the store file, left beside it, told at start.
namespace quillmere::StoreBesideFiles {

// The tag of a copy cut short by the end of the program: "NAME.unfinished-<time>".
inline const QString unfinishedTag = QStringLiteral("unfinished");

// Copies cut short are removed and named; kept and set-aside stores holding clips the store lacks
// are named, unless told of before as they are. The files are read on a worker; `tell` gets the words
// for the user, if any, on `receiver`'s thread.
void look(QObject *receiver, Preferences &preferences, const QString &storePath,
          const std::function<void(const QString &)> &tell);

} // namespace quillmere::StoreBesideFiles
