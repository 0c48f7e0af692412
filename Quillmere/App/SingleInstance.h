#pragma once

#include <QLocalServer>
#include <QObject>
#include <QStringList>
#include <memory>

namespace quillmere {

// One running program per user session. The first start listens on a local socket; later starts
// hand their arguments over and exit.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    explicit SingleInstance(const QString &name = defaultName(), QObject *parent = nullptr);
    ~SingleInstance() override;

    static QString defaultName();

    // True when this process is the first; false when another one took the arguments.
    bool claim(const QStringList &argumentsForRunning);

Q_SIGNALS:
    void argumentsReceived(const QStringList &arguments);

private:
    bool sendToRunning(const QStringList &arguments);
    QString m_name;
    std::unique_ptr<QLocalServer> m_server;
};

} // namespace quillmere
