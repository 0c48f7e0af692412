#pragma once

#include <QString>

namespace quillmere::archive {

// A byte count as the messages show it, e.g. "40.0 MiB".
QString byteCountText(qint64 bytes);

} // namespace quillmere::archive
