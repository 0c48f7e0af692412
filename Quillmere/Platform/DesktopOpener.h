#pragma once

#include <QObject>
#include <QString>
#include <QUrl>
#include <functional>

namespace quillmere {

// Opens a file or link with the desktop's opener (xdg-open) and says whether it did: the opener
// missing, or giving up (no program for the type), is a failure the user is told about, where
// QDesktopServices reports any opener it could start as success.
class DesktopOpener {
public:
    using Done = std::function<void(bool opened)>;

    explicit DesktopOpener(QString program = QStringLiteral("xdg-open"));

    // `done` runs on `context`'s thread when the opener has finished; not at all when `context`
    // goes first. The opened program outlives the opener and this process.
    void open(const QUrl &url, QObject *context, Done done) const;

    const QString &program() const { return m_program; }

private:
    QString m_program;
};

} // namespace quillmere
