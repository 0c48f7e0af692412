#pragma once

#include <QObject>
#include <functional>

namespace quillmere {

// Runs `work` on the next turn of `owner`'s event loop, unless the owner is gone by then.
inline void deferOnMain(QObject *owner, std::function<void()> work)
{
    QMetaObject::invokeMethod(owner, std::move(work), Qt::QueuedConnection);
}

} // namespace quillmere
