#pragma once

#include "Quillmere/Platform/Core/PreferenceKeys.h"

#include <QString>
#include <functional>

namespace quillmere {

class Preferences;

// Where the card's Save dialog opens: the folder last saved into while it is still there, else
// the user's Pictures folder, else the home folder; never the program's working directory.
class CaptureSaveFolder {
public:
    static inline const PreferenceKey<const char *> lastFolderKey{"captureSaveFolder", ""};

    struct Places {
        // The desktop's Pictures folder (XDG), which may not exist.
        QString pictures;
        QString home;
    };
    static Places desktopPlaces();

    explicit CaptureSaveFolder(Preferences *preferences, Places places = desktopPlaces());

    QString startFolder() const;
    // Called after a save into `filePath` succeeded.
    void remember(const QString &filePath);

private:
    Preferences *m_preferences;
    Places m_places;
};

} // namespace quillmere
