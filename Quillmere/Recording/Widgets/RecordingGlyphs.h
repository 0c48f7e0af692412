#pragma once

#include <QColor>
#include <QIcon>
#include <QString>

namespace quillmere::recording {

// The few symbols the recording windows show, painted: "mic.fill", "mic.slash", "mic.slash.fill",
// "speaker.wave.2.fill", "speaker.slash", "stop.fill", "record.circle".
QIcon glyph(const QString &name, const QColor &colour, int size = 14);

} // namespace quillmere::recording
