#pragma once

#include <QByteArray>
#include <QString>

namespace quillmere {

struct BoundedFileRead {
    enum class Status { ok, missing, notRegular, tooLarge, failed, tooSlow };
    Status status = Status::failed;
    QByteArray bytes;  // set when ok
    qint64 size = 0;   // the size the file gave, also when too large
    QString errorText; // why, when not ok

    bool ok() const { return status == Status::ok; }
};

struct BoundedFileLimits {
    qint64 maxBytes = 0;
    // A link in the last place of the path is refused rather than followed.
    bool refuseLink = false;
    // Give up reading after this long (0: no limit).
    qint64 deadlineMs = 0;
};

// Reads a file another program may have named. Opened without waiting and taken only when it is a
// regular file of at most `maxBytes`: a FIFO or a device in its place is turned down at once, never
// waited on. At most one byte past the bound is read, so a file that grows meanwhile is refused.
BoundedFileRead readBoundedFile(const QString &path, const BoundedFileLimits &limits);
inline BoundedFileRead readBoundedFile(const QString &path, qint64 maxBytes)
{
    return readBoundedFile(path, BoundedFileLimits{maxBytes});
}

} // namespace quillmere
