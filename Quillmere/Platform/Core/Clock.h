#pragma once

#include <QDateTime>
#include <functional>

namespace quillmere {

// Injected wherever tests need to control time.
using Clock = std::function<QDateTime()>;

inline Clock systemClock()
{
    return [] { return QDateTime::currentDateTimeUtc(); };
}

} // namespace quillmere
