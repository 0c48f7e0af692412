#pragma once

#include <QByteArray>
#include <QString>

namespace quillmere::archive {

struct BoundedRead {
    enum class Status { ok, tooLarge, unreadable };
    Status status = Status::unreadable;
    QByteArray bytes;  // set when ok
    qint64 size = 0;   // the file's size as seen, also when too large
    QString errorText; // when unreadable
};

// Reads a regular file of at most `cap` bytes. The size is checked before reading and at most one
// byte more than that size is read, so a file that grows meanwhile is refused, never read on.
BoundedRead readBoundedFile(const QString &path, qint64 cap);

} // namespace quillmere::archive

namespace quillmere::archive {

// A byte count as the messages show it, e.g. "40.0 MiB".
QString byteCountText(qint64 bytes);

} // namespace quillmere::archive
