#include "Quillmere/Settings/Core/CaptureSettingsModel.h"

#include "Quillmere/Platform/Core/Notices.h"
#include "Quillmere/Platform/Core/PreferenceKeys.h"

#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/Core/Preferences.h"
#include "Quillmere/Settings/Core/ShortcutRecording.h"

namespace quillmere {

const QList<CaptureShortcut> &CaptureSettingsModel::programShortcuts()
{
    static const QList<CaptureShortcut> taken{{9, CarbonModifier::shift | CarbonModifier::command},
                                              {9, CarbonModifier::option | CarbonModifier::command}};
    return taken;
}

QString CaptureSettingsModel::programShortcutName(const CaptureShortcut &shortcut)
{
    if (shortcut == programShortcuts().value(0))
        return QStringLiteral("History panel");
    if (shortcut == programShortcuts().value(1))
        return QStringLiteral("Paste next");
    return {};
}

QString CaptureSettingsModel::takenByProgramText(const CaptureShortcut &shortcut)
{
    return QStringLiteral("%1 already uses %2. Choose another shortcut.")
        .arg(programShortcutName(shortcut), ShortcutRecording::displayText(shortcut, false));
}

const QList<CaptureSettingsModel::Row> &CaptureSettingsModel::rows()
{
    static const QList<Row> table{
        {CaptureAction::areaScreenshot, QStringLiteral("Capture area"), QStringLiteral("Capture area"),
         QStringLiteral("Select a region and copy the screenshot."), QStringLiteral("crop")},
        {CaptureAction::fullScreenScreenshot, QStringLiteral("Capture full screen"), QStringLiteral("Full screen"),
         QStringLiteral("Copy a screenshot of the whole display."), QStringLiteral("rectangle.dashed")},
        {CaptureAction::ocrArea, QStringLiteral("Copy text from area"), QStringLiteral("Copy text"),
         QStringLiteral("Select a region and copy the text recognized inside it."), QStringLiteral("text.viewfinder")},
        {CaptureAction::screenRecording, QStringLiteral("Screen recording"), QStringLiteral("Screen recording"),
         QStringLiteral("Record the screen under the pointer; stop to save it to history."),
         QStringLiteral("record.circle")},
    };
    return table;
}

CaptureSettingsModel::CaptureSettingsModel(Dependencies deps, QObject *parent)
    : QObject(parent), m_deps(std::move(deps)), m_shortcuts(CaptureShortcutPreferences::load(*m_deps.preferences)),
      m_output(quillmere::screenshotClipboardOutput(*m_deps.preferences)),
      m_position(captureOverlayPosition(*m_deps.preferences))
{
    connect(m_deps.preferences, &Preferences::changed, this, [this](const QString &key) {
        if (key == PreferenceKeys::notchCaptureToastEnabled)
            Q_EMIT changed();
    });
}

std::optional<CaptureShortcut> CaptureSettingsModel::shortcut(CaptureAction action) const
{
    const auto it = m_shortcuts.shortcuts.constFind(action);
    if (it == m_shortcuts.shortcuts.cend())
        return std::nullopt;
    return *it;
}

void CaptureSettingsModel::setShortcut(std::optional<CaptureShortcut> shortcut, CaptureAction action)
{
    if (shortcut)
        m_shortcuts.shortcuts.insert(action, *shortcut);
    else
        m_shortcuts.shortcuts.remove(action);
    m_deps.preferences->setJSON(m_shortcuts, CaptureShortcutPreferences::key);
    // Delivered at once: the hot keys are registered again before this returns, so the rows
    // can say which combination the X server refused.
    if (m_deps.center)
        m_deps.center->post(Notices::captureShortcutsChanged);
    Q_EMIT changed();
}

QList<CaptureAction> CaptureSettingsModel::conflictingActions(const QMap<CaptureAction, CaptureShortcut> &shortcuts)
{
    QList<CaptureAction> out;
    for (CaptureAction action : allCaptureActions()) {
        const auto mine = shortcuts.constFind(action);
        if (mine == shortcuts.cend())
            continue;
        bool conflicts = programShortcuts().contains(*mine);
        for (auto other = shortcuts.cbegin(); !conflicts && other != shortcuts.cend(); ++other)
            conflicts = other.key() != action && other.value() == *mine;
        if (conflicts)
            out << action;
    }
    return out;
}

QString CaptureSettingsModel::conflictMessage() const
{
    const QList<CaptureAction> actions = conflictingActions(m_shortcuts.shortcuts);
    if (actions.isEmpty())
        return {};
    QStringList names, ours;
    for (CaptureAction action : actions) {
        for (const Row &row : rows())
            if (row.action == action)
                names << row.shortName;
        // Named too, so the warning says what already has the combination.
        const QString program = programShortcutName(m_shortcuts.shortcuts.value(action));
        if (!program.isEmpty() && !ours.contains(program))
            ours << program;
    }
    names << ours;
    return names.join(QStringLiteral(", "))
        + QStringLiteral(" share the same shortcut. Give each a unique combo so they all trigger.");
}

QString CaptureSettingsModel::refusalText(CaptureAction action) const
{
    const std::optional<CaptureShortcut> mine = shortcut(action);
    if (!mine || !m_deps.isShortcutRefused || !m_deps.isShortcutRefused(action))
        return {};
    return QStringLiteral("Another program already uses %1, so it does nothing here. Choose another shortcut.")
        .arg(ShortcutRecording::displayText(mine, false));
}

void CaptureSettingsModel::setScreenshotClipboardOutput(ScreenshotClipboardOutput output)
{
    m_output = output;
    m_deps.preferences->setString(PreferenceKeys::screenshotClipboardOutput, rawValue(output));
    Q_EMIT changed();
}

QString CaptureSettingsModel::title(ScreenshotClipboardOutput output)
{
    return output == ScreenshotClipboardOutput::shareLink ? QStringLiteral("Copy share link")
                                                          : QStringLiteral("Copy screenshot");
}

QString CaptureSettingsModel::afterScreenshotSubtitle(ScreenshotClipboardOutput output)
{
    return output == ScreenshotClipboardOutput::shareLink
        ? QStringLiteral("Upload automatically and copy the public URL; copy the screenshot if upload fails.")
        : QStringLiteral("Copy the image so Ctrl+V pastes the screenshot.");
}

QString CaptureSettingsModel::afterScreenshotSymbol(ScreenshotClipboardOutput output)
{
    return output == ScreenshotClipboardOutput::shareLink ? QStringLiteral("link") : QStringLiteral("doc.on.clipboard");
}

void CaptureSettingsModel::setOverlayPosition(CaptureOverlayPosition position)
{
    m_position = position;
    m_deps.preferences->setString(PreferenceKeys::captureOverlayPosition, rawValue(position));
    Q_EMIT changed();
}

bool CaptureSettingsModel::toastEnabled() const
{
    return notchCaptureToastEnabled(*m_deps.preferences);
}

void CaptureSettingsModel::setToastEnabled(bool enabled)
{
    m_deps.preferences->setBool(PreferenceKeys::notchCaptureToastEnabled, enabled);
}

} // namespace quillmere
