#pragma once

#include <QDateTime>
#include <QString>

namespace quillmere {

// A date relative to `now` in named phrases where English has them ("yesterday", "last week",
// "now"), numbers otherwise ("3 hours ago", "in 5 minutes"); the largest whole unit is used.
QString relativeNamedDate(const QDateTime &date, const QDateTime &now);

} // namespace quillmere
