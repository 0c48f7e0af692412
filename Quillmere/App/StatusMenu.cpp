#include "Quillmere/App/StatusMenu.h"

namespace quillmere {

std::optional<QKeySequence> menuShortcut(const CaptureShortcut &shortcut)
{
    const auto name = carbonKeyName(shortcut.keyCode);
    if (!name || name->size() != 1 || !name->at(0).isLetterOrNumber())
        return std::nullopt;
    int modifiers = 0;
    // Command is Super here, as everywhere else in the program.
    if (shortcut.modifiers & CarbonModifier::control)
        modifiers |= Qt::ControlModifier;
    if (shortcut.modifiers & CarbonModifier::option)
        modifiers |= Qt::AltModifier;
    if (shortcut.modifiers & CarbonModifier::shift)
        modifiers |= Qt::ShiftModifier;
    if (shortcut.modifiers & CarbonModifier::command)
        modifiers |= Qt::MetaModifier;
    const QChar c = name->at(0).toUpper();
    const int key = c.isDigit() ? Qt::Key_0 + c.digitValue() : Qt::Key_A + (c.unicode() - 'A');
    return QKeySequence(QKeyCombination(Qt::KeyboardModifiers(modifiers), Qt::Key(key)));
}

std::vector<StatusMenuEntry> makeStatusMenuEntries(const StatusMenuState &state)
{
    auto capture = [&](StatusMenuAction action, CaptureAction which, const QString &title) {
        StatusMenuEntry entry{action, title, {}};
        const auto it = state.shortcuts.shortcuts.constFind(which);
        if (it != state.shortcuts.shortcuts.cend()) {
            entry.shortcut = menuShortcut(*it).value_or(QKeySequence());
            entry.shortcutText = shortcutText(it->keyCode, it->modifiers);
        }
        return entry;
    };
    const StatusMenuEntry separator{};
    StatusMenuEntry recording =
        capture(StatusMenuAction::toggleScreenRecording, CaptureAction::screenRecording,
                state.recording ? QStringLiteral("Stop Recording") : QStringLiteral("Record Screen…"));
    if (!state.recordingAvailable) {
        recording.title = QStringLiteral("Record Screen (unavailable)");
        recording.enabled = false;
    }
    return {
        {StatusMenuAction::togglePanel, QStringLiteral("Open Brindlewax"), {}},
        {StatusMenuAction::toggleCapturePaused,
         state.capturePaused ? QStringLiteral("Resume Capture") : QStringLiteral("Pause Capture"),
         {}},
        separator,
        capture(StatusMenuAction::captureArea, CaptureAction::areaScreenshot, QStringLiteral("Capture Area…")),
        capture(StatusMenuAction::captureFullScreen, CaptureAction::fullScreenScreenshot,
                QStringLiteral("Capture Full Screen")),
        capture(StatusMenuAction::ocrArea, CaptureAction::ocrArea, QStringLiteral("Copy Text From Area…")),
        recording,
        separator,
        {StatusMenuAction::checkForUpdates, QStringLiteral("Check for Updates…"), {}},
        {StatusMenuAction::openSettings, QStringLiteral("Settings…"), QKeySequence(Qt::CTRL | Qt::Key_Comma),
         QStringLiteral("Ctrl+,")},
        {StatusMenuAction::openOnboarding, QStringLiteral("Setup Guide…"), {}},
        separator,
        {StatusMenuAction::quit, QStringLiteral("Quit Brindlewax"), QKeySequence(Qt::CTRL | Qt::Key_Q),
         QStringLiteral("Ctrl+Q")},
    };
}

} // namespace quillmere
