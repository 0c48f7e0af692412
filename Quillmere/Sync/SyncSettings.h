#pragma once

#include <QString>
#include <QStringList>

namespace quillmere {

class Preferences;

// Where sync happens and who this device is.
namespace SyncSettings {

inline const QString folderOption = QStringLiteral("--sync-folder");

// The folder from "--sync-folder <path>" (or "--sync-folder=<path>"), else the preference; empty
// when sync is off.
QString folder(const QStringList &arguments, const Preferences &preferences);
// The host's machine id (systemd's, else D-Bus's); empty when neither can be read.
QString localMachineID();
// This device's id, made and kept on first use together with the machine it was made on. A home
// folder copied to another machine brings the id along: there the machine differs and a new id
// is made, so two machines never write as one. An empty `machineID` (none readable) keeps the id.
QString deviceID(Preferences &preferences, const QString &machineID = localMachineID());
// The origin this device writes into its sync test clips.
QString probeOrigin(Preferences &preferences);

} // namespace SyncSettings
} // namespace quillmere
