#include "Quillmere/Panel/PanelTypes.h"

namespace quillmere {

QString rawValue(PanelOpenBehavior behavior)
{
    switch (behavior) {
    case PanelOpenBehavior::history:
        return QStringLiteral("history");
    case PanelOpenBehavior::lastUsed:
        return QStringLiteral("lastUsed");
    case PanelOpenBehavior::page:
        return QStringLiteral("page");
    }
    return QStringLiteral("history");
}

std::optional<PanelOpenBehavior> panelOpenBehaviorFromRaw(const QString &raw)
{
    for (auto b : {PanelOpenBehavior::history, PanelOpenBehavior::lastUsed, PanelOpenBehavior::page}) {
        if (raw == rawValue(b))
            return b;
    }
    return std::nullopt;
}

QString rawValue(PanelKeyboardMode mode)
{
    switch (mode) {
    case PanelKeyboardMode::browsing:
        return QStringLiteral("browsing");
    case PanelKeyboardMode::searching:
        return QStringLiteral("searching");
    case PanelKeyboardMode::unlocking:
        return QStringLiteral("unlocking");
    case PanelKeyboardMode::paused:
        return QStringLiteral("paused");
    }
    return QStringLiteral("browsing");
}

std::optional<PanelKeyboardMode> panelKeyboardModeFromRaw(const QString &raw)
{
    for (auto m : {PanelKeyboardMode::browsing, PanelKeyboardMode::searching, PanelKeyboardMode::unlocking,
                   PanelKeyboardMode::paused}) {
        if (raw == rawValue(m))
            return m;
    }
    return std::nullopt;
}

} // namespace quillmere
