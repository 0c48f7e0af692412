#pragma once

#include <QColor>
#include <QHash>
#include <QIcon>

namespace quillmere {

// The tray glyph (two stacked cards with a curl) and the "copied" check mark, drawn in code. The
// tray shows these again at every copy: each ink is drawn once. Pixmaps are the main thread's, and
// so is this object.
class StatusGlyphs {
public:
    QIcon statusIcon(const QColor &ink);
    QIcon copiedIcon(const QColor &ink);

private:
    QHash<QRgb, QIcon> m_status;
    QHash<QRgb, QIcon> m_copied;
};

} // namespace quillmere
