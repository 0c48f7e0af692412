#include "Quillmere/Archive/BoundedFile.h"

#include <QLocale>

namespace quillmere::archive {

QString byteCountText(qint64 bytes)
{
    return QLocale::c().formattedDataSize(bytes, 1, QLocale::DataSizeIecFormat);
}

} // namespace quillmere::archive
