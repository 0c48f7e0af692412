#pragma once

#include <QString>

// What an earlier session, stopped while it handled the store file, left beside it, told at start.
namespace quillmere::StoreBesideFiles {

// The tag of a copy cut short by the end of the program: "NAME.unfinished-<time>".
inline QString unfinishedTag()
{
    return QStringLiteral("unfinished");
}
// The preference that remembers the kept and set-aside stores told of, so that a start tells only
// of new or changed ones: each has the clips the user deleted or the limit pruned since, as well.
inline QString toldKey()
{
    return QStringLiteral("besideHistoriesTold");
}

struct Found {
    // For the user; empty when there is nothing to tell.
    QString told;
    // Of the kept and set-aside stores told of, at this start or before: the preference's new value.
    QString signatures;
};
// Copies cut short are removed and named; kept and set-aside stores holding clips the store lacks
// are named, unless `toldBefore` (the preference) has them as they are. Reads files: not for the main thread.
Found look(const QString &storePath, const QString &toldBefore);

} // namespace quillmere::StoreBesideFiles
