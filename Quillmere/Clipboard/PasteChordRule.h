#pragma once

#include "Quillmere/Platform/KeyInjector.h"

#include <QString>

namespace quillmere {

// Which keys paste in a window, by its WM_CLASS (instance and class name): terminals take
// their own chord, since Ctrl+V reaches the shell as a control character there; xterm and urxvt
// paste the PRIMARY selection on Shift+Insert.
struct PasteChordRule {
    static PasteChord chordFor(const QString &instance, const QString &className);
    // Whether the chord pastes PRIMARY, which must then hold the clip too.
    static bool pastesPrimary(PasteChord chord) { return chord == PasteChord::shiftInsert; }
};

} // namespace quillmere
