#pragma once

#include <QString>
#include <QStringList>

namespace quillmere {

class Preferences;

// Where sync happens and who this device is.
namespace SyncSettings {

inline const QString folderKey = QStringLiteral("syncFolderPath");
inline const QString deviceIDKey = QStringLiteral("syncDeviceID");
inline const QString folderOption = QStringLiteral("--sync-folder");

// The folder from "--sync-folder <path>" (or "--sync-folder=<path>"), else the preference; empty
// when sync is off.
QString folder(const QStringList &arguments, const Preferences &preferences);
// This device's id, made and kept on first use.
QString deviceID(Preferences &preferences);
// The origin this device writes into its sync test clips.
QString probeOrigin(Preferences &preferences);

} // namespace SyncSettings
} // namespace quillmere
