#include "Quillmere/Capture/Overlay/CaptureSaveFolder.h"

#include "Quillmere/Platform/Core/Preferences.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace quillmere {

CaptureSaveFolder::Places CaptureSaveFolder::desktopPlaces()
{
    return {QStandardPaths::writableLocation(QStandardPaths::PicturesLocation), QDir::homePath()};
}

CaptureSaveFolder::CaptureSaveFolder(Preferences *preferences, Places places)
    : m_preferences(preferences), m_places(std::move(places))
{
}

QString CaptureSaveFolder::startFolder() const
{
    const auto isFolder = [](const QString &path) { return !path.isEmpty() && QFileInfo(path).isDir(); };
    if (m_preferences) {
        const QString last = m_preferences->string(lastFolderKey).value_or(QString());
        // Only an absolute path: a relative one would again mean the working directory.
        if (QDir::isAbsolutePath(last) && isFolder(last))
            return last;
    }
    if (isFolder(m_places.pictures))
        return m_places.pictures;
    return m_places.home;
}

void CaptureSaveFolder::remember(const QString &filePath)
{
    const QString folder = QFileInfo(filePath).absolutePath();
    if (m_preferences && !filePath.isEmpty() && m_preferences->string(lastFolderKey) != folder)
        m_preferences->setString(lastFolderKey, folder);
}

} // namespace quillmere
