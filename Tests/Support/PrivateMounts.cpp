#include "Support/PrivateMounts.h"

#include <QFile>

#include <functional>
#include <optional>
#include <vector>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quillmere::test::PrivateMounts {

namespace {

constexpr qulonglong nobody = 65534;

struct Setup {
    bool tried = false;
    MachineNeed mount{QStringLiteral("the test's main() did not set up a mount namespace of its own"), {}};
    MachineNeed otherUser{QStringLiteral("the test's main() did not set up a user namespace of its own"), {}};
};

Setup &setup()
{
    static Setup s;
    return s;
}

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// The calling thread's capability sets (capget and capset act on one thread only).
struct Capabilities {
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};

    static bool read(Capabilities &caps)
    {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        return syscall(SYS_capget, &header, caps.data) == 0;
    }
    bool apply() const
    {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        return syscall(SYS_capset, &header, data) == 0;
    }
    bool effective(int cap) const { return data[CAP_TO_INDEX(cap)].effective & CAP_TO_MASK(cap); }
    bool permitted(int cap) const { return data[CAP_TO_INDEX(cap)].permitted & CAP_TO_MASK(cap); }
};

// CAP_SYS_ADMIN in effect for one mount or unmount on this thread, where it is only permitted.
class AdminForAMoment {
public:
    AdminForAMoment()
    {
        if (!Capabilities::read(m_before) || m_before.effective(CAP_SYS_ADMIN) || !m_before.permitted(CAP_SYS_ADMIN))
            return;
        Capabilities raised = m_before;
        raised.data[CAP_TO_INDEX(CAP_SYS_ADMIN)].effective |= CAP_TO_MASK(CAP_SYS_ADMIN);
        m_raised = raised.apply();
    }
    ~AdminForAMoment()
    {
        if (m_raised)
            m_before.apply();
    }
    AdminForAMoment(const AdminForAMoment &) = delete;
    AdminForAMoment &operator=(const AdminForAMoment &) = delete;

private:
    Capabilities m_before;
    bool m_raised = false;
};

bool writeWhole(const char *file, const QByteArray &text)
{
    const int fd = ::open(file, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    // The kernel takes a map in one write only.
    const bool written = ::write(fd, text.constData(), size_t(text.size())) == text.size();
    const int error = errno;
    ::close(fd);
    errno = error;
    return written;
}

MachineNeed whyNoUserNamespace(int error)
{
    const QString what =
        QStringLiteral("an ordinary user's test process could not make a user namespace (%1): ").arg(errnoText(error));
    switch (error) {
    case EINVAL:
        return {what + QStringLiteral("the process already runs threads"), {}};
    case ENOSPC:
    case EUSERS:
        return {what + QStringLiteral("sysctl user.max_user_namespaces is 0 or reached"),
                QStringLiteral("raise it (sysctl -w user.max_user_namespaces=10000, as root)")};
    default:
        return {what
                    + QStringLiteral("this machine forbids unprivileged user namespaces (sysctl "
                                     "kernel.unprivileged_userns_clone=0, or a container's seccomp filter)"),
                QStringLiteral("allow them (sysctl -w kernel.unprivileged_userns_clone=1 as root, or the "
                               "container's option for user namespaces)")};
    }
}

// The first id of `owner`'s subordinate range in /etc/subuid or /etc/subgid, where it has one.
std::optional<qulonglong> subordinateStart(const char *file, const QByteArray &name, qulonglong id)
{
    QFile ranges(QString::fromLatin1(file));
    if (!ranges.open(QIODevice::ReadOnly))
        return std::nullopt;
    for (const QByteArray &line : ranges.readAll().split('\n')) {
        const QList<QByteArray> fields = line.trimmed().split(':');
        if (fields.size() == 3 && (fields[0] == name || fields[0] == QByteArray::number(id))
            && fields[2].toULongLong() > 0)
            return fields[1].toULongLong();
    }
    return std::nullopt;
}

// The setuid helpers write a map this process could not: its own id to itself, and
// nobody (65534) to the first id of the user's subordinate range.
struct OtherUserMaps {
    QByteArrayList uidArguments, gidArguments;
    MachineNeed missing;

    static OtherUserMaps plan(uid_t uid, gid_t gid)
    {
        OtherUserMaps maps;
        const passwd *entry = ::getpwuid(uid);
        const QByteArray name = entry ? QByteArray(entry->pw_name) : QByteArray();
        const auto uidStart = subordinateStart("/etc/subuid", name, uid);
        const auto gidStart = subordinateStart("/etc/subgid", name, uid);
        if (::access("/usr/bin/newuidmap", X_OK) != 0 || ::access("/usr/bin/newgidmap", X_OK) != 0)
            maps.missing = {QStringLiteral("newuidmap and newgidmap are not installed"),
                            QStringLiteral("install Debian's package uidmap (tools/test does)")};
        else if (!uidStart || !gidStart)
            maps.missing = {QStringLiteral("/etc/subuid and /etc/subgid give this user (%1) no subordinate ids")
                                .arg(PrivateMounts::accountName(uid)),
                            QStringLiteral("give them a range of 65536 ids no other account has, as root: usermod "
                                           "--add-subuids FIRST-LAST --add-subgids FIRST-LAST %1")
                                .arg(name.isEmpty() ? QByteArray::number(uid) : QString::fromLocal8Bit(name))};
        const auto arguments = [](qulonglong own, std::optional<qulonglong> start) {
            return QByteArrayList{QByteArray::number(own),
                                  QByteArray::number(own),
                                  "1",
                                  QByteArray::number(nobody),
                                  QByteArray::number(start.value_or(0)),
                                  "1"};
        };
        maps.uidArguments = arguments(uid, uidStart);
        maps.gidArguments = arguments(gid, gidStart);
        return maps;
    }
};

// Runs `helper` with `pid` and `map` and waits for it; true when it wrote the map.
bool runMapHelper(const char *helper, pid_t pid, const QByteArrayList &map)
{
    QByteArrayList words{helper, QByteArray::number(pid)};
    words += map;
    std::vector<char *> argv;
    for (QByteArray &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        ::execv(helper, argv.data());
        ::_exit(127);
    }
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

enum class Mapped { nothing, usersOnly, usersAndGroups };

// Enters the namespace; a child still outside it has the helpers map nobody into it.
Mapped enterWithAnotherUser(const OtherUserMaps &maps, const std::function<bool()> &unshareSelf)
{
    int go[2];
    if (::pipe2(go, O_CLOEXEC) != 0) {
        unshareSelf();
        return Mapped::nothing;
    }
    const pid_t self = ::getpid();
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(go[1]);
        char byte = 0;
        if (::read(go[0], &byte, 1) != 1)
            ::_exit(3);
        if (!runMapHelper("/usr/bin/newuidmap", self, maps.uidArguments))
            ::_exit(3);
        ::_exit(runMapHelper("/usr/bin/newgidmap", self, maps.gidArguments) ? 0 : 4);
    }
    ::close(go[0]);
    const bool entered = unshareSelf();
    if (entered && child > 0)
        (void)::write(go[1], "g", 1);
    ::close(go[1]);
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return Mapped::nothing;
    return WEXITSTATUS(status) == 0 ? Mapped::usersAndGroups
        : WEXITSTATUS(status) == 4  ? Mapped::usersOnly
                                    : Mapped::nothing;
}

// Its own uid and gid map to themselves, so files and peers see the same user as before; nobody
// is mapped too where the machine lets an ordinary user have another id (tests that need a
// second user act as it).
MachineNeed enterUserNamespace(Setup &s)
{
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    const OtherUserMaps maps = OtherUserMaps::plan(uid, gid);
    int unshareError = 0;
    const auto unshareSelf = [&] {
        const bool done = ::unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0;
        unshareError = done ? 0 : errno;
        return done;
    };
    const Mapped mapped =
        maps.missing.what.isEmpty() ? enterWithAnotherUser(maps, unshareSelf) : (unshareSelf(), Mapped::nothing);
    if (unshareError != 0) {
        // The second user would be mapped into that namespace too.
        s.otherUser = whyNoUserNamespace(unshareError);
        return s.otherUser;
    }
    if (mapped == Mapped::usersAndGroups) {
        s.otherUser = {};
        return {};
    }
    s.otherUser = maps.missing.what.isEmpty()
        ? MachineNeed{QStringLiteral("newuidmap or newgidmap refused this user's subordinate ids"),
                      QStringLiteral("see that this user's ranges in /etc/subuid and /etc/subgid are their own")}
        : maps.missing;
    const QByteArray uidMap = QByteArray::number(uid) + ' ' + QByteArray::number(uid) + " 1";
    const QByteArray gidMap = QByteArray::number(gid) + ' ' + QByteArray::number(gid) + " 1";
    if (mapped == Mapped::nothing && !writeWhole("/proc/self/uid_map", uidMap))
        return {QStringLiteral("writing /proc/self/uid_map failed: ") + errnoText(errno), {}};
    if (!writeWhole("/proc/self/setgroups", "deny") || !writeWhole("/proc/self/gid_map", gidMap))
        return {QStringLiteral("writing /proc/self/gid_map failed: ") + errnoText(errno), {}};
    return {};
}

// Everything but the permission to mount and to become nobody goes; those stay permitted, never
// in effect, and no program this process starts inherits them.
QString keepOnlyMountingAndNobody()
{
    Capabilities caps;
    for (const int cap : {CAP_SYS_ADMIN, CAP_SETUID, CAP_SETGID})
        caps.data[CAP_TO_INDEX(cap)].permitted |= CAP_TO_MASK(cap);
    if (!caps.apply())
        return QStringLiteral("dropping the user namespace's capabilities failed: ") + errnoText(errno);
    return {};
}

MachineNeed enterNamespaces()
{
    Capabilities caps;
    const bool admin = Capabilities::read(caps) && caps.effective(CAP_SYS_ADMIN);
    if (admin) {
        // Root may mount already; a namespace of its own only keeps the mounts from the machine.
        if (::unshare(CLONE_NEWNS) != 0)
            return {QStringLiteral("unshare(CLONE_NEWNS) failed: ") + errnoText(errno), {}};
        if (caps.effective(CAP_SETUID) && caps.effective(CAP_SETGID))
            setup().otherUser = {};
    } else {
        if (MachineNeed missing = enterUserNamespace(setup()); !missing.what.isEmpty())
            return missing;
        // Root keeps what root has; its powers end at the namespace's edge anyway.
        if (QString why = ::geteuid() != 0 ? keepOnlyMountingAndNobody() : QString(); !why.isEmpty())
            return {why, {}};
    }
    // Mounts made here must not spread to the namespace this one was copied from.
    AdminForAMoment raised;
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return {QStringLiteral("making the mounts private failed: ") + errnoText(errno), {}};
    return {};
}

} // namespace

void enter()
{
    Setup &s = setup();
    if (s.tried)
        return;
    s.tried = true;
    s.mount = enterNamespaces();
}

MachineNeed mounting()
{
    return setup().mount;
}

MachineNeed mountTmpfs(const QString &path, qint64 bytes)
{
    if (!mounting().what.isEmpty())
        return mounting();
    const QByteArray options = "size=" + QByteArray::number(bytes) + ",mode=0700";
    AdminForAMoment raised;
    if (::mount("tmpfs", QFile::encodeName(path).constData(), "tmpfs", 0, options.constData()) == 0)
        return {};
    const int error = errno;
    const QString what = QStringLiteral("mounting a tmpfs on %1 failed: %2").arg(path, errnoText(error));
    if (error != EPERM || ::geteuid() == 0)
        return {what, {}};
    return {what
                + QStringLiteral(" (a security module, such as AppArmor's restriction of unprivileged user "
                                 "namespaces, may forbid mounts in them)"),
            QStringLiteral("allow ordinary users' mounts in namespaces of their own (for AppArmor: sysctl -w "
                           "kernel.apparmor_restrict_unprivileged_userns=0, as root)")};
}

QString accountName(uid_t uid)
{
    const passwd *entry = ::getpwuid(uid);
    if (entry && entry->pw_name && *entry->pw_name)
        return QString::fromLocal8Bit(entry->pw_name);
    return QStringLiteral("uid %1, which has no name in the user database").arg(uid);
}

MachineNeed otherUser()
{
    return setup().otherUser;
}

bool becomeNobody()
{
    // Raw system calls only: this runs in the child of a process that may have threads.
    Capabilities caps;
    if (Capabilities::read(caps)) {
        for (const int cap : {CAP_SETUID, CAP_SETGID})
            caps.data[CAP_TO_INDEX(cap)].effective |= caps.data[CAP_TO_INDEX(cap)].permitted & CAP_TO_MASK(cap);
        caps.apply();
    }
    // Where setgroups is denied there are no supplementary groups to drop.
    const bool groupsGone = ::setgroups(0, nullptr) == 0 || errno == EPERM;
    return groupsGone && ::setgid(nobody) == 0 && ::setuid(nobody) == 0;
}

void unmount(const QString &path)
{
    AdminForAMoment raised;
    ::umount2(QFile::encodeName(path).constData(), MNT_DETACH);
}

bool setReadOnly(const QString &path, bool readOnly)
{
    AdminForAMoment raised;
    return ::mount(nullptr, QFile::encodeName(path).constData(), nullptr, MS_REMOUNT | (readOnly ? MS_RDONLY : 0),
                   nullptr)
        == 0;
}

} // namespace quillmere::test::PrivateMounts
