#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <optional>
#include <sys/types.h>

namespace quillmere {

// Who may read a file once it is written.
enum class FileAccess {
    // The program's own data (store, preferences, fallback stores, caches, scratch): mode 0600 whatever
    // the umask, since it is someone's history or settings.
    ownerOnly,
    // A document the user saves on purpose: the umask and the folder decide, as for any
    // program's documents, so what the user meant to share can be read.
    document,
};

// A file that takes the place of `path` only once every byte is on the disk: written in pieces,
// synced, its size checked, renamed into place and its folder synced. Until commit() succeeds
// whatever was at `path` stays as it was; a file left uncommitted is removed.
class AtomicFile {
public:
    explicit AtomicFile(const QString &path, FileAccess access = FileAccess::ownerOnly);
    ~AtomicFile();
    AtomicFile(const AtomicFile &) = delete;
    AtomicFile &operator=(const AtomicFile &) = delete;

    // False once anything failed; later writes and the commit then fail too.
    bool write(QByteArrayView bytes);
    bool commit();
    // Why the file could not be written; empty while nothing failed.
    QString errorString() const { return m_error; }

private:
    bool fail(const char *step, int error);
    void discard();

    QByteArray m_target;
    QByteArray m_temporary;
    int m_fd = -1;
    qint64 m_written = 0;
    QString m_error;
};

// Writes all of `bytes` or leaves an existing file untouched. `errorText` may be null.
bool writeFileAtomically(const QString &path, const QByteArray &bytes, QString *errorText,
                         FileAccess access = FileAccess::ownerOnly);

// Makes a rename to `path` last through a power cut. `errorText` may be null.
bool syncFolderOf(const QString &path, QString *errorText = nullptr);

// Which file a path names: the same path may come to name another one.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileIdentity &) const = default;
    // None when nothing is at `path`.
    static std::optional<FileIdentity> of(const QString &path);
    // None when `fd` is not open.
    static std::optional<FileIdentity> ofOpen(int fd);
    // Whether `fd` is the file at `path` still, not one put there since.
    static bool isAt(int fd, const QString &path);
};

// Puts the bytes of the file at `path` on the disk; false, with `errorText` set, when it cannot.
bool syncFile(const QString &path, QString *errorText);

// Renames without ever replacing what is at `to`: false, with errno EEXIST, when the name is taken.
bool renameNoReplace(const QString &from, const QString &to);

} // namespace quillmere
