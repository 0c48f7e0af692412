#include "Quillmere/Settings/Core/SystemAccess.h"

#include <QProcess>
#include <QStandardPaths>
#include <QStringList>

namespace quillmere {

SystemAccess SystemAccess::x11(std::function<bool()> screenPixelsReadable, std::function<bool()> pasteKeysAvailable,
                               bool x11)
{
    SystemAccess access;
    access.screenPixelsReadable = std::move(screenPixelsReadable);
    access.pasteKeysAvailable = std::move(pasteKeysAvailable);
    access.clipboardAccess = [x11]() -> std::optional<PasteboardAccessState> {
        if (!x11)
            return std::nullopt;
        return PasteboardAccessState::granted;
    };
    access.openScreenCaptureSettings = [] { return false; };
    access.openAccessibilitySettings = [] { return false; };
    access.openClipboardSettings = [] { return openPasteboardPrivacySettings(); };
    return access;
}

bool openMicrophoneSettings()
{
    // Each opens on its input devices where it can.
    const QList<QStringList> candidates = {
        {QStringLiteral("pavucontrol"), QStringLiteral("--tab=4")},
        {QStringLiteral("gnome-control-center"), QStringLiteral("sound")},
        {QStringLiteral("systemsettings"), QStringLiteral("kcm_pulseaudio")},
    };
    for (const QStringList &command : candidates) {
        const QString program = QStandardPaths::findExecutable(command.first());
        if (!program.isEmpty() && QProcess::startDetached(program, command.mid(1)))
            return true;
    }
    return false;
}

} // namespace quillmere
