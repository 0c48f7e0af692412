#pragma once

#include "Support/MachineNeeds.h"

#include <QString>
#include <sys/types.h>

namespace quillmere::test {

// Small file systems a test mounts for itself, in a mount namespace of the test process's own, so
// that no privilege is needed and nothing is left mounted when the process ends, however it ends.
// An ordinary user gets a user namespace too, mapping only their own uid and gid; the process
// keeps no effective capability in it, so permission bits still hold for every test, and
// CAP_SYS_ADMIN is raised on the calling thread only around a mount.
namespace PrivateMounts {

// Once, first thing in main: a user namespace can only be entered while the process has one thread.
void enter();

// What a tmpfs mounted here needs and is missing, or nothing.
MachineNeed mounting();

// What acting as a second user (nobody, 65534) needs and is missing, or nothing: root can; an
// ordinary user can where newuidmap maps nobody to one of their subordinate ids.
MachineNeed otherUser();

// The account as a skip line names it: its name, or its uid where the user database has no entry
// for it (a directory-service account out of reach, an id mapped in from outside).
QString accountName(uid_t uid);

// Becomes nobody, in a child just forked; async-signal-safe. False when it could not.
bool becomeNobody();

// Mounts a tmpfs of `bytes` on the existing folder `path`; nothing, or what was missing.
MachineNeed mountTmpfs(const QString &path, qint64 bytes);
void unmount(const QString &path);
// Makes what is mounted on `path` take no writes, or take them again: a read-only file system
// refuses root too, whom no permission bit holds on another thread. False when it could not.
bool setReadOnly(const QString &path, bool readOnly);

} // namespace PrivateMounts

} // namespace quillmere::test
