#include "Quillmere/Clipboard/PasteboardAccess.h"

#include "Quillmere/Platform/Pasteboard.h"

#include <QDesktopServices>

namespace quillmere {

std::optional<PasteboardAccessState> pasteboardAccessStateFromRaw(qint64 raw)
{
    switch (raw) {
    case 0:
        return PasteboardAccessState::notDetermined;
    case 1:
        return PasteboardAccessState::ask;
    case 2:
        return PasteboardAccessState::granted;
    case 3:
        return PasteboardAccessState::denied;
    default:
        return std::nullopt;
    }
}

QStringList privacySettingsURLs()
{
    // X11 lets every client read the clipboard; no desktop here has a settings page for it.
    return {};
}

bool openFirstSettingsURL(const QStringList &candidates, const std::function<bool(const QUrl &)> &open)
{
    for (const QString &candidate : candidates) {
        const QUrl url(candidate, QUrl::StrictMode);
        if (!url.isValid() || url.scheme().isEmpty())
            continue;
        if (open(url))
            return true;
    }
    return false;
}

bool openPasteboardPrivacySettings()
{
    return openFirstSettingsURL(privacySettingsURLs(), [](const QUrl &url) { return QDesktopServices::openUrl(url); });
}

QStringList fileURLPasteboardTypes()
{
    return {QStringLiteral("text/uri-list")};
}

QList<QUrl> readFileURLs(const Pasteboard &pasteboard)
{
    return pasteboard.readFileURLs();
}

QList<QUrl> readFileURLs(const QMimeData &mime)
{
    return fileURLsFromMimeData(mime);
}

} // namespace quillmere
