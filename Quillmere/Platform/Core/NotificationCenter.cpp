#include "Quillmere/Platform/Core/NotificationCenter.h"

#include "Quillmere/Platform/Core/HandOver.h"

#include <QCoreApplication>
#include <QThread>
#include <algorithm>

namespace quillmere {

NotificationCenter::NotificationCenter(QObject *parent) : QObject(parent)
{
}

NotificationCenter::Token NotificationCenter::addObserver(const QString &name, QObject *context, Handler handler)
{
    const Token token = m_nextToken++;
    m_observers.push_back({token, name, context, context != nullptr, std::move(handler)});
    return token;
}

void NotificationCenter::removeObserver(Token token)
{
    std::erase_if(m_observers, [token](const Observer &o) { return o.token == token; });
}

void NotificationCenter::removeObservers(QObject *context)
{
    std::erase_if(m_observers, [context](const Observer &o) { return o.hasContext && o.context == context; });
}

void NotificationCenter::post(const QString &name, QObject *object, const QVariantMap &userInfo)
{
    Notification note{name, object, userInfo};
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(this, QUILLMERE_HANDED_OVER(nullptr, [this, note] { deliver(note); }),
                                  Qt::QueuedConnection);
        return;
    }
    deliver(note);
}

void NotificationCenter::deliver(const Notification &note)
{
    // Copy the matching handlers first: an observer may add or remove observers while handling.
    std::vector<std::pair<Token, Handler>> targets;
    std::erase_if(m_observers, [](const Observer &o) { return o.hasContext && o.context.isNull(); });
    for (const Observer &o : m_observers)
        if (o.name == note.name)
            targets.emplace_back(o.token, o.handler);
    for (auto &target : targets) {
        // Not a structured binding: clang 14 cannot capture those in the lambda.
        const Token token = target.first;
        const bool stillRegistered = std::any_of(m_observers.begin(), m_observers.end(), [&](const Observer &o) {
            return o.token == token && !(o.hasContext && o.context.isNull());
        });
        if (stillRegistered)
            target.second(note);
    }
}

} // namespace quillmere
