#include "Support/PrivateMounts.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace quillmere::test::PrivateMounts {

namespace {

struct Setup {
    bool tried = false;
    QString reason = QStringLiteral("the test's main() did not set up a mount namespace of its own");
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

QString whyNoUserNamespace(int error)
{
    const QString what =
        QStringLiteral("an ordinary user's test process could not make a user namespace (%1): ").arg(errnoText(error));
    switch (error) {
    case EINVAL:
        return what + QStringLiteral("the process already runs threads");
    case ENOSPC:
    case EUSERS:
        return what + QStringLiteral("sysctl user.max_user_namespaces is 0 or reached");
    default:
        return what
            + QStringLiteral("this machine forbids unprivileged user namespaces (sysctl "
                             "kernel.unprivileged_userns_clone=0, or a container's seccomp filter)");
    }
}

// Its own uid and gid map to themselves, so files and peers see the same user as before.
QString enterUserNamespace()
{
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
        return whyNoUserNamespace(errno);
    const QByteArray uidMap = QByteArray::number(uid) + ' ' + QByteArray::number(uid) + " 1";
    const QByteArray gidMap = QByteArray::number(gid) + ' ' + QByteArray::number(gid) + " 1";
    if (!writeWhole("/proc/self/uid_map", uidMap))
        return QStringLiteral("writing /proc/self/uid_map failed: ") + errnoText(errno);
    if (!writeWhole("/proc/self/setgroups", "deny") || !writeWhole("/proc/self/gid_map", gidMap))
        return QStringLiteral("writing /proc/self/gid_map failed: ") + errnoText(errno);
    return {};
}

// Everything but the permission to mount goes; that stays permitted, never in effect, and no
// program this process starts inherits it.
QString keepOnlyMounting()
{
    Capabilities caps;
    caps.data[CAP_TO_INDEX(CAP_SYS_ADMIN)].permitted = CAP_TO_MASK(CAP_SYS_ADMIN);
    if (!caps.apply())
        return QStringLiteral("dropping the user namespace's capabilities failed: ") + errnoText(errno);
    return {};
}

QString enterNamespaces()
{
    Capabilities caps;
    const bool admin = Capabilities::read(caps) && caps.effective(CAP_SYS_ADMIN);
    if (admin) {
        // Root may mount already; a namespace of its own only keeps the mounts from the machine.
        if (::unshare(CLONE_NEWNS) != 0)
            return QStringLiteral("unshare(CLONE_NEWNS) failed: ") + errnoText(errno);
    } else {
        if (QString why = enterUserNamespace(); !why.isEmpty())
            return why;
        // Root keeps what root has; its powers end at the namespace's edge anyway.
        if (QString why = ::geteuid() != 0 ? keepOnlyMounting() : QString(); !why.isEmpty())
            return why;
    }
    // Mounts made here must not spread to the namespace this one was copied from.
    AdminForAMoment mounting;
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return QStringLiteral("making the mounts private failed: ") + errnoText(errno);
    return {};
}

} // namespace

void enter()
{
    Setup &s = setup();
    if (s.tried)
        return;
    s.tried = true;
    s.reason = enterNamespaces();
}

QString unavailableReason()
{
    return setup().reason;
}

QString mountTmpfs(const QString &path, qint64 bytes)
{
    if (!unavailableReason().isEmpty())
        return unavailableReason();
    const QByteArray options = "size=" + QByteArray::number(bytes) + ",mode=0700";
    AdminForAMoment mounting;
    if (::mount("tmpfs", QFile::encodeName(path).constData(), "tmpfs", 0, options.constData()) == 0)
        return {};
    const int error = errno;
    QString why = QStringLiteral("mounting a tmpfs on %1 failed: %2").arg(path, errnoText(error));
    if (error == EPERM && ::geteuid() != 0)
        why += QStringLiteral(" (a security module, such as AppArmor's restriction of unprivileged user "
                              "namespaces, may forbid mounts in them)");
    return why;
}

void unmount(const QString &path)
{
    AdminForAMoment mounting;
    ::umount2(QFile::encodeName(path).constData(), MNT_DETACH);
}

} // namespace quillmere::test::PrivateMounts
