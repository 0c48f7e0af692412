#pragma once

#include <QObject>
#include <optional>

namespace quillmere {

class NotificationCenter;
class Pasteboard;

// The one place that decides whether what is on the clipboard is this program's own: a write of
// ours (every writer posts its change count), content this process still serves, or a copy of our
// data that another program offers again under our owner type. Such content is never captured.
class ClipboardOwnership : public QObject {
    Q_OBJECT
public:
    // `pasteboard` and `center` must outlive this object.
    ClipboardOwnership(const Pasteboard &pasteboard, NotificationCenter &center, QObject *parent = nullptr);

    bool isOwnContent() const;
    // The change count of our latest write, as its notice gave it.
    std::optional<qint64> lastOwnWrite() const { return m_lastOwnWrite; }

private:
    const Pasteboard &m_pasteboard;
    std::optional<qint64> m_lastOwnWrite;
};

} // namespace quillmere
