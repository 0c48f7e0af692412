#pragma once

#include <QList>
#include <QStringList>
#include <QUrl>
#include <functional>
#include <optional>

class QMimeData;

namespace quillmere {

class Pasteboard;

// The system's setting for whether this program may read the clipboard.
enum class PasteboardAccessState { notDetermined = 0, ask = 1, granted = 2, denied = 3 };

std::optional<PasteboardAccessState> pasteboardAccessStateFromRaw(qint64 raw);

// Addresses of the settings page for clipboard privacy, tried in order. This desktop has none.
QStringList privacySettingsURLs();

// Opens the first candidate that `open` accepts; false when none does.
bool openFirstSettingsURL(const QStringList &candidates, const std::function<bool(const QUrl &)> &open);
// The privacy settings through the desktop's URL handler; false when the desktop offers none.
bool openPasteboardPrivacySettings();

// What a drop target registers to receive files.
QStringList fileURLPasteboardTypes();

// The local files on a pasteboard or in a drop, in their order; web addresses are left out.
QList<QUrl> readFileURLs(const Pasteboard &pasteboard);
QList<QUrl> readFileURLs(const QMimeData &mime);

} // namespace quillmere
