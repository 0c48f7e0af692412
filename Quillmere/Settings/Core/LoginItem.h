#pragma once

#include <QString>
#include <optional>

namespace quillmere {

// Starting at login is an XDG autostart entry of our own. Its state is always read back from
// the file, never remembered.
class LoginItem {
public:
    // The service's own numbering; an autostart entry never waits for approval.
    enum class Status { notRegistered = 0, enabled = 1 };

    static inline const QString fileName = QStringLiteral("quillmere.desktop");

    // `autostartDir` empty: the user's ~/.config/autostart. `executable` empty: this program.
    explicit LoginItem(QString autostartDir = {}, QString executable = {});

    QString filePath() const;
    Status status() const;
    // Writes the entry atomically; the error's description on failure.
    std::optional<QString> registerItem();
    // Removes the entry; the error's description on failure.
    std::optional<QString> unregisterItem();

    // One Exec argument as the desktop-entry rules want it quoted.
    static QString quotedExecArgument(const QString &argument);

private:
    QString m_dir;
    QString m_executable;
};

} // namespace quillmere
