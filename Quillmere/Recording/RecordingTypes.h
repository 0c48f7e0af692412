#pragma once

#include <QLoggingCategory>
#include <QPoint>
#include <QRect>
#include <QString>
#include <optional>
#include <variant>

namespace quillmere {

Q_DECLARE_LOGGING_CATEGORY(lcRecording)

enum class RecordingError { permissionDenied, noDisplay, writerFailed, noFramesCaptured, saveFailed, folderUnusable };

// Why a recording ended without being asked to.
enum class StopCause { displayGone, audioServerGone, writerFailed };

// The user-facing text of each error.
QString userMessage(RecordingError error);

// What to record, in Qt's logical coordinates: the covered screen (its geometry and scale) and
// the chosen rectangle in global coordinates; no rectangle means the whole screen.
struct RegionSelection {
    QString screenName;
    QRect screenGeometry;
    qreal scale = 1;
    std::optional<QRect> rect;
};

// The finished movie's path, or why there is none.
using RecordingResult = std::variant<QString, RecordingError>;

} // namespace quillmere
