#include "Quillmere/Sync/SyncSettings.h"

#include "Quillmere/Platform/Core/PreferenceKeys.h"
#include "Quillmere/Platform/Core/Preferences.h"
#include "Quillmere/Sync/SyncFolder.h"
#include "Quillmere/Sync/SyncSelfTest.h"

#include <QSysInfo>

#include <QFile>
#include <QUuid>

namespace quillmere::SyncSettings {

QString folder(const QStringList &arguments, const Preferences &preferences)
{
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &a = arguments.at(i);
        if (a == folderOption && i + 1 < arguments.size())
            return arguments.at(i + 1);
        if (a.startsWith(folderOption + QLatin1Char('=')))
            return a.mid(folderOption.size() + 1);
    }
    return preferences.string(PreferenceKeys::syncFolderPath).value_or(QString());
}

QString localMachineID()
{
    for (const char *path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
        QFile file(QString::fromLatin1(path));
        if (file.open(QIODevice::ReadOnly)) {
            const QString id = QString::fromLatin1(file.read(256)).trimmed();
            if (!id.isEmpty())
                return id;
        }
    }
    return {};
}

QString deviceID(Preferences &preferences, const QString &machineID)
{
    const auto stored = preferences.string(PreferenceKeys::syncDeviceID);
    const auto machine = preferences.string(PreferenceKeys::syncDeviceMachine);
    // An id kept before machines were noted stays with the machine that reads it first.
    const bool sameMachine = machineID.isEmpty() || !machine || *machine == machineID;
    if (stored && SyncFolder::isValidDeviceID(*stored) && sameMachine) {
        if (!machineID.isEmpty() && !machine)
            preferences.setString(PreferenceKeys::syncDeviceMachine, machineID);
        return *stored;
    }
    const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    preferences.setString(PreferenceKeys::syncDeviceID, id);
    if (!machineID.isEmpty())
        preferences.setString(PreferenceKeys::syncDeviceMachine, machineID);
    return id;
}

QString probeOrigin(Preferences &preferences)
{
    return SyncProbes::deviceOrigin(QSysInfo::machineHostName(), deviceID(preferences));
}

} // namespace quillmere::SyncSettings
