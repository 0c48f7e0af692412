#pragma once

class QScreen;

namespace quillmere::screenshot {

// The screen that holds the pointer, else the primary screen.
QScreen *screenWithPointer();

} // namespace quillmere::screenshot
