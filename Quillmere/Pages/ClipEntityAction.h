#pragma once

#include "Quillmere/Pages/DetectedEntity.h"

#include <QColor>
#include <QString>
#include <QUrl>
#include <functional>
#include <optional>
#include <vector>

namespace quillmere {

// One thing that can be done with a detected entity: open something through the desktop, or
// copy a text.
struct ClipEntityAction {
    enum class Kind { openLink, composeMail, call, showOnMap, trackParcel, copy };

    // Position in the list, from 0.
    int id = 0;
    Kind kind = Kind::copy;
    DetectedEntity::Kind entityKind = DetectedEntity::Kind::link;
    QString title;
    // The glyph shown beside the title.
    QString symbol;
    // What opening hands to the desktop.
    QUrl url;
    // Opened instead when nothing on the desktop takes `url` (a map on the web for "geo:").
    QUrl fallbackURL;
    // What copying puts on the clipboard.
    QString text;
    // Colours show themselves.
    std::optional<QColor> swatch;

    // For each entity in order, its opening action first (where it has one), then its copies.
    static std::vector<ClipEntityAction> actions(const std::vector<DetectedEntity> &entities);

    bool operator==(const ClipEntityAction &) const = default;
};

// How actions reach the desktop and the clipboard.
struct EntityActionHandlers {
    // QDesktopServices::openUrl unless replaced.
    std::function<bool(const QUrl &)> openURL;
    // Whether some application takes links of this scheme; by default read from the desktop's
    // MIME handler caches, once.
    std::function<bool(const QString &scheme)> canOpenScheme;
    // Puts a text on the clipboard through the program's pasteboard writer.
    std::function<void(const QString &)> copyText;

    static EntityActionHandlers desktop(std::function<void(const QString &)> copyText);
};

// Runs the action; false when nothing could be done with it.
bool performEntityAction(const ClipEntityAction &action, const EntityActionHandlers &handlers);

} // namespace quillmere
