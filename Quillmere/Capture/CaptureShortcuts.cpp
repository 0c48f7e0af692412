#include "Quillmere/Capture/CaptureShortcuts.h"

#include "Quillmere/Platform/Core/Preferences.h"

#include <QHash>

namespace quillmere {

QString rawValue(CaptureAction action)
{
    switch (action) {
    case CaptureAction::areaScreenshot:
        return QStringLiteral("areaScreenshot");
    case CaptureAction::fullScreenScreenshot:
        return QStringLiteral("fullScreenScreenshot");
    case CaptureAction::ocrArea:
        return QStringLiteral("ocrArea");
    case CaptureAction::screenRecording:
        return QStringLiteral("screenRecording");
    }
    return {};
}

std::optional<CaptureAction> captureActionFromRaw(const QString &raw)
{
    for (CaptureAction action : allCaptureActions())
        if (rawValue(action) == raw)
            return action;
    return std::nullopt;
}

const QList<CaptureAction> &allCaptureActions()
{
    static const QList<CaptureAction> all{CaptureAction::areaScreenshot, CaptureAction::fullScreenScreenshot,
                                          CaptureAction::ocrArea, CaptureAction::screenRecording};
    return all;
}

const CaptureShortcutPreferences &CaptureShortcutPreferences::defaultShortcuts()
{
    using namespace CarbonModifier;
    static const CaptureShortcutPreferences defaults{{
        {CaptureAction::areaScreenshot, {21, control | shift}},
        {CaptureAction::fullScreenScreenshot, {20, control | shift}},
        {CaptureAction::ocrArea, {19, command | shift}},
        {CaptureAction::screenRecording, {23, control | shift}},
    }};
    return defaults;
}

CaptureShortcutPreferences CaptureShortcutPreferences::load(const Preferences &prefs)
{
    return prefs.decodeJSON<CaptureShortcutPreferences>(key).value_or(defaultShortcuts());
}

QJsonValue CaptureShortcutPreferences::toJson() const
{
    QJsonArray pairs;
    for (auto it = shortcuts.begin(); it != shortcuts.end(); ++it) {
        pairs.append(rawValue(it.key()));
        pairs.append(QJsonObject{{"keyCode", double(it->keyCode)}, {"modifiers", double(it->modifiers)}});
    }
    return QJsonObject{{"shortcuts", pairs}};
}

std::optional<CaptureShortcutPreferences> CaptureShortcutPreferences::fromJson(const QJsonValue &json)
{
    JsonFields fields(json);
    const QJsonArray pairs = fields.array("shortcuts");
    if (!fields.ok() || pairs.size() % 2 != 0)
        return std::nullopt;
    CaptureShortcutPreferences out;
    for (qsizetype i = 0; i < pairs.size(); i += 2) {
        const auto action = captureActionFromRaw(pairs[i].toString());
        JsonFields shortcut(pairs[i + 1]);
        const qint64 keyCode = shortcut.integer("keyCode");
        const qint64 modifiers = shortcut.integer("modifiers");
        if (!pairs[i].isString() || !action || !shortcut.ok() || keyCode < 0 || keyCode > 0xffffffffLL || modifiers < 0
            || modifiers > 0xffffffffLL)
            return std::nullopt;
        out.shortcuts.insert(*action, {quint32(keyCode), quint32(modifiers)});
    }
    return out;
}

} // namespace quillmere
