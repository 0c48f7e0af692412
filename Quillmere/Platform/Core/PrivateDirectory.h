#pragma once

#include <QString>

namespace quillmere {

// Makes `path` a directory that only this user can enter, for use in a folder others share
// (the temporary folder). It is created with mode 0700 in one step; one that is there already is
// used only when it is a real directory (not a link), ours, and mode 0700. Anything else is
// refused with a warning that says why, since someone else may have put it there.
// With `create` false a missing folder is refused too (for folders others make for us).
// With `tighten`, one of ours that others may enter is made 0700 instead (for folders in our own
// space, which the user may have made by hand). `why` receives the reason of a refusal.
bool preparePrivateDirectory(const QString &path, bool create = true, bool tighten = false, QString *why = nullptr);

// Makes `path` and any missing folder above it, each new one 0700 whatever the umask; folders
// that are there already are left as they are. False (with the reason) when `path` is not a
// folder afterwards.
bool makePrivatePath(const QString &path, QString *errorText = nullptr);

} // namespace quillmere

namespace quillmere {

// A private folder `name` for this user's passing copies (previews, files put on the clipboard):
// in `temporaryRoot`, or, where that name is taken there by someone else (the temporary folder is
// shared by every account), in the session's runtime folder. Empty when neither can be had.
QString preparePrivateTemporaryFolder(const QString &name, const QString &temporaryRoot);

} // namespace quillmere
