#pragma once

#include "Quillmere/Model/Records.h"

#include <QByteArray>
#include <QDateTime>
#include <optional>

namespace quillmere {

class ClipStore;

// A fixed, realistic set of clips and Pages for an in-memory store, so the history can be shown
// without anyone's real clipboard.
void seedDemoData(ClipStore &store);
// The sample sign-up form picture as PNG; none when it cannot be drawn.
std::optional<QByteArray> makeDemoFormImage();
void setDemoAge(const ClipRef &clip, int minutesAgo, const QDateTime &now);

} // namespace quillmere
