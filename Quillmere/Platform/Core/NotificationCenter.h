#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariantMap>
#include <functional>
#include <vector>

namespace quillmere {

struct Notification {
    QString name;
    QObject *object = nullptr;
    QVariantMap userInfo;
};

// In-process notifications by name. Posting on the main thread delivers synchronously; a post
// from another thread is handed to the main thread first.
class NotificationCenter : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<void(const Notification &)>;
    using Token = quint64;

    explicit NotificationCenter(QObject *parent = nullptr);

    // The observer goes away by itself when `context` is destroyed.
    Token addObserver(const QString &name, QObject *context, Handler handler);
    void removeObserver(Token token);
    void removeObservers(QObject *context);

    void post(const QString &name, QObject *object = nullptr, const QVariantMap &userInfo = {});

private:
    struct Observer {
        Token token;
        QString name;
        QPointer<QObject> context;
        bool hasContext;
        Handler handler;
    };
    void deliver(const Notification &note);

    std::vector<Observer> m_observers;
    Token m_nextToken = 1;
};

} // namespace quillmere
