#include "Quillmere/Platform/Core/AtomicFile.h"

#include <QSaveFile>

namespace quillmere {

bool writeFileAtomically(const QString &path, const QByteArray &bytes, FileAccess access, QString *errorText)
{
    QSaveFile file(path);
    // The mode is set before the first byte, so the contents are never readable by others.
    const bool ready = file.open(QIODevice::WriteOnly)
        && (access == FileAccess::usual || file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    if (!ready || file.write(bytes) != bytes.size() || !file.commit()) {
        if (errorText)
            *errorText = file.errorString();
        file.cancelWriting();
        return false;
    }
    return true;
}

} // namespace quillmere
