#include "Quillmere/Sync/SyncSettings.h"

#include "Quillmere/Platform/Core/Preferences.h"
#include "Quillmere/Sync/SyncFolder.h"
#include "Quillmere/Sync/SyncSelfTest.h"

#include <QSysInfo>

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
    return preferences.string(folderKey).value_or(QString());
}

QString deviceID(Preferences &preferences)
{
    const auto stored = preferences.string(deviceIDKey);
    if (stored && SyncFolder::isValidDeviceID(*stored))
        return *stored;
    const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    preferences.setString(deviceIDKey, id);
    return id;
}

QString probeOrigin(Preferences &preferences)
{
    return SyncProbes::deviceOrigin(QSysInfo::machineHostName(), deviceID(preferences));
}

} // namespace quillmere::SyncSettings
