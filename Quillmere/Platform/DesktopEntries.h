#pragma once

#include "Quillmere/Platform/FrontApplication.h"

#include <QHash>
#include <QIcon>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>
#include <vector>

namespace quillmere {

// One application's desktop file. `id` is the desktop-file id without ".desktop"; it is what
// the program stores as the application's bundle identifier.
struct DesktopEntry {
    QString id;
    QString filePath;
    QString name;
    QString iconName; // a theme name or an absolute path
    QString exec;
    QString startupWMClass;
    bool noDisplay = false;
};

// What is known of the window a copy came from.
struct WindowIdentity {
    qint64 pid = 0;
    QString wmClassInstance; // first WM_CLASS string
    QString wmClassName;     // second WM_CLASS string
    QString executablePath;  // empty: read from the process
};

// The installed applications as the desktop's menus know them, found under the XDG data dirs
// (earlier dirs win). Main thread; the scan happens on first use and on reload().
class DesktopEntries {
public:
    // `dataDirs` are the XDG data dirs themselves (each holding "applications/"), most important
    // first; `procRoot` is where process information lives.
    explicit DesktopEntries(QStringList dataDirs = standardDataDirs(), QString procRoot = QStringLiteral("/proc"));

    // $XDG_DATA_HOME (or ~/.local/share), then $XDG_DATA_DIRS (or /usr/local/share:/usr/share).
    static QStringList standardDataDirs();

    void reload();
    const std::vector<DesktopEntry> &entries() const;
    std::optional<DesktopEntry> entry(const QString &id) const;

    // The application behind a window: a sandbox's own id (Flatpak, Snap) first, then the
    // window class against StartupWMClass and desktop ids, then the executable against Exec.
    std::optional<DesktopEntry> identify(const WindowIdentity &window) const;

    // The entry's icon from the icon theme, an absolute path or a pixmaps dir; null when none.
    QIcon icon(const DesktopEntry &entry) const;

    // Parsing, exposed for tests. Nothing for a file that is not an application.
    static std::optional<DesktopEntry> parse(const QByteArray &contents, const QString &id,
                                             const QString &locale = QString());
    // The program an Exec line starts: its first word, after "env VAR=..." prefixes.
    static QString execProgram(const QString &exec);

private:
    void ensureLoaded() const;
    std::optional<DesktopEntry> bySandbox(qint64 pid) const;
    std::optional<DesktopEntry> byWindowClass(const WindowIdentity &window) const;
    std::optional<DesktopEntry> byExecutable(const WindowIdentity &window) const;

    QStringList m_dataDirs;
    QString m_procRoot;
    mutable bool m_loaded = false;
    mutable std::vector<DesktopEntry> m_entries;
    mutable QHash<QString, int> m_byID;
};

// The front application with its identity taken from the desktop files where one matches: the
// entry's id becomes the desktop-file id and its name the application's name.
FrontApplicationSource identifiedFrontApplications(std::shared_ptr<const DesktopEntries> entries,
                                                   FrontApplicationSource windows = currentFrontApplication);

} // namespace quillmere
