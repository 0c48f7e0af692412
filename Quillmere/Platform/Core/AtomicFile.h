#pragma once

#include <QByteArray>
#include <QString>

namespace quillmere {

enum class FileAccess {
    ownerOnly, // mode 0600: the file holds someone's history
    usual,     // what the umask leaves
};

// Writes all of `bytes` or leaves an existing file untouched. `errorText` may be null.
bool writeFileAtomically(const QString &path, const QByteArray &bytes, FileAccess access, QString *errorText);

} // namespace quillmere
