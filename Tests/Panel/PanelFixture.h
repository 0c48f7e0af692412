#pragma once

// Snapshots built by hand for the history view tests.

#include "Quillmere/Panel/PanelTypes.h"

#include <QDateTime>
#include <vector>

namespace quillmere::test {

inline PersistentIdentifier clipID(qint64 row)
{
    return {QStringLiteral("ClipItem"), row};
}
inline PersistentIdentifier pageID(qint64 row)
{
    return {QStringLiteral("Pinboard"), row};
}

// Clip n: row n, a dedupID of its own, text "clip n", a minute older than clip n-1.
inline ClipSnapshot makeClip(qint64 n, const QString &text = {})
{
    ClipSnapshot c;
    c.id = clipID(n);
    c.dedupID = QUuid(uint(n), 0, 0, 0, 0, 0, 0, 0, 0, 0, 1);
    c.createdAt = QDateTime(QDate(2026, 3, 1), QTime(12, 0), Qt::UTC).addSecs(-60 * n);
    c.kindRawValue = QStringLiteral("text");
    c.text = text.isEmpty() ? QStringLiteral("clip %1").arg(n) : text;
    c.primaryText = c.text;
    return c;
}

inline PageSnapshot makePage(qint64 n, const QString &name, bool locked = false)
{
    return PageSnapshot{pageID(n),
                        QUuid(uint(n), 1, 0, 0, 0, 0, 0, 0, 0, 0, 2),
                        name,
                        QStringLiteral("magenta"),
                        QStringLiteral("square.grid.2x2"),
                        locked};
}

// Clips 1..count, newest first.
inline std::vector<ClipSnapshot> makeClips(int count)
{
    std::vector<ClipSnapshot> clips;
    for (int i = 1; i <= count; ++i)
        clips.push_back(makeClip(i));
    return clips;
}

} // namespace quillmere::test
