#include "Quillmere/Archive/BoundedFile.h"

#include <QFile>
#include <QFileInfo>

namespace quillmere::archive {

BoundedRead readBoundedFile(const QString &path, qint64 cap)
{
    BoundedRead result;
    const QFileInfo info(path);
    if (!info.exists()) {
        result.errorText = QStringLiteral("The file doesn't exist.");
        return result;
    }
    // Devices and pipes have no size to check up front.
    if (!info.isFile()) {
        result.errorText = QStringLiteral("This isn't a regular file.");
        return result;
    }
    result.size = info.size();
    if (result.size > cap) {
        result.status = BoundedRead::Status::tooLarge;
        return result;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        result.errorText = file.errorString();
        return result;
    }
    // One byte past the size seen tells a file that grew meanwhile; it is not read further.
    QByteArray bytes = file.read(result.size + 1);
    if (file.error() != QFileDevice::NoError) {
        result.errorText = file.errorString();
        return result;
    }
    if (bytes.size() > result.size) {
        result.errorText = QStringLiteral("The file changed while it was being read.");
        return result;
    }
    result.status = BoundedRead::Status::ok;
    result.size = bytes.size();
    result.bytes = std::move(bytes);
    return result;
}

} // namespace quillmere::archive

#include <QLocale>

namespace quillmere::archive {

QString byteCountText(qint64 bytes)
{
    return QLocale::c().formattedDataSize(bytes, 1, QLocale::DataSizeIecFormat);
}

} // namespace quillmere::archive
