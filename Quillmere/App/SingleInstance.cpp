#include "Quillmere/App/SingleInstance.h"

#include "Quillmere/Platform/Core/Logging.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>
#include <optional>
#include <unistd.h>

namespace quillmere {
namespace {

// A request is a handful of launch arguments; anything longer is not from us.
constexpr qint64 kMaxMessageBytes = 64 * 1024;

std::optional<QStringList> decodeArguments(const QByteArray &line)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
    if (error.error != QJsonParseError::NoError || !doc.isArray())
        return std::nullopt;
    QStringList args;
    for (const QJsonValue &v : doc.array()) {
        if (!v.isString())
            return std::nullopt;
        args << v.toString();
    }
    return args;
}

} // namespace

SingleInstance::SingleInstance(const QString &name, QObject *parent) : QObject(parent), m_name(name) {}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::defaultName()
{
    // The per-user runtime directory is private to the user, so nobody else can take the name first.
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (!runtime.isEmpty())
        return runtime + QStringLiteral("/quillmere");
    return QStringLiteral("quillmere-%1").arg(::getuid());
}

bool SingleInstance::sendToRunning(const QStringList &arguments)
{
    QLocalSocket socket;
    socket.connectToServer(m_name);
    if (!socket.waitForConnected(500))
        return false;
    socket.write(QJsonDocument(QJsonArray::fromStringList(arguments)).toJson(QJsonDocument::Compact) + '\n');
    if (!socket.waitForBytesWritten(1000))
        qCWarning(lcApp, "Could not hand the arguments to the running program: %s", qPrintable(socket.errorString()));
    socket.disconnectFromServer();
    return true;
}

bool SingleInstance::claim(const QStringList &argumentsForRunning)
{
    // Two starts at once must not both find nobody, both clear the socket and both listen.
    const QString socketPath = QDir::isAbsolutePath(m_name) ? m_name : QDir::tempPath() + QLatin1Char('/') + m_name;
    QLockFile lock(socketPath + QStringLiteral(".lock"));
    if (!lock.tryLock(3000))
        qCWarning(lcApp, "Could not lock %s; claiming the single-instance socket anyway", qPrintable(lock.fileName()));

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
                auto dropOversized = [socket] {
                    qCWarning(lcApp, "Dropped an oversized request from another start");
                    socket->abort();
                    socket->deleteLater();
                };
                while (socket->canReadLine()) {
                    const QByteArray line = socket->readLine(kMaxMessageBytes);
                    if (!line.endsWith('\n'))
                        return dropOversized();
                    if (const auto args = decodeArguments(line))
                        Q_EMIT argumentsReceived(*args);
                    else
                        qCWarning(lcApp, "Ignored a malformed request from another start");
                }
                if (socket->bytesAvailable() >= kMaxMessageBytes)
                    dropOversized();
            });
        }
    });
    return true;
}

} // namespace quillmere
