#include "Quillmere/App/SingleInstance.h"

#include "Quillmere/Platform/Logging.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalSocket>
#include <unistd.h>

namespace quillmere {

SingleInstance::SingleInstance(const QString &name, QObject *parent) : QObject(parent), m_name(name) {}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::defaultName()
{
    return QStringLiteral("quillmere-%1").arg(::getuid());
}

bool SingleInstance::sendToRunning(const QStringList &arguments)
{
    QLocalSocket socket;
    socket.connectToServer(m_name);
    if (!socket.waitForConnected(500))
        return false;
    socket.write(QJsonDocument(QJsonArray::fromStringList(arguments)).toJson(QJsonDocument::Compact) + '\n');
    socket.waitForBytesWritten(1000);
    socket.disconnectFromServer();
    return true;
}

bool SingleInstance::claim(const QStringList &argumentsForRunning)
{
    if (sendToRunning(argumentsForRunning))
        return false;
    // Nobody answered: a socket file left by a crashed run is stale.
    QLocalServer::removeServer(m_name);
    m_server = std::make_unique<QLocalServer>();
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_name)) {
        qCWarning(lcApp, "Cannot listen for other starts: %s", qPrintable(m_server->errorString()));
        return true;
    }
    connect(m_server.get(), &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = m_server->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                while (socket->canReadLine()) {
                    const QByteArray line = socket->readLine(64 * 1024);
                    const QJsonArray array = QJsonDocument::fromJson(line).array();
                    QStringList args;
                    for (const QJsonValue &v : array)
                        args << v.toString();
                    Q_EMIT argumentsReceived(args);
                }
            });
        }
    });
    return true;
}

} // namespace quillmere
