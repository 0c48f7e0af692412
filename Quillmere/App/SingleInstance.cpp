#include "Quillmere/App/SingleInstance.h"

#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Platform/Core/PrivateDirectory.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QLockFile>
#include <cerrno>
#include <cstring>
#include <optional>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace quillmere {
namespace {

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

QString privateFallbackDirectory()
{
    const QString path = QDir::tempPath() + QStringLiteral("/quillmere-%1").arg(::geteuid());
    return preparePrivateDirectory(path) ? path : QString();
}

// The user at the other end of a connected local socket.
std::optional<uid_t> peerUser(const QLocalSocket &socket)
{
    ucred credentials{};
    socklen_t length = sizeof(credentials);
    if (::getsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0)
        return std::nullopt;
    return credentials.uid;
}

bool isOwnUser(const QLocalSocket &socket)
{
    const auto uid = peerUser(socket);
    return uid && *uid == ::geteuid();
}

QByteArray encodeRequest(const QStringList &arguments)
{
    return QJsonDocument(QJsonArray::fromStringList(arguments)).toJson(QJsonDocument::Compact) + '\n';
}

// A connected socket that closes with its scope.
class SocketFd {
public:
    explicit SocketFd(int fd) : m_fd(fd) {}
    ~SocketFd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    SocketFd(const SocketFd &) = delete;
    SocketFd &operator=(const SocketFd &) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

bool writeAll(int fd, const QByteArray &bytes)
{
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += n;
    }
    return true;
}

} // namespace

SingleInstance::SingleInstance(const QString &name, QObject *parent) : QObject(parent)
{
    if (name.isEmpty() || QDir::isAbsolutePath(name)) {
        m_path = name;
    } else if (const QString directory = privateFallbackDirectory(); !directory.isEmpty()) {
        m_path = directory + QLatin1Char('/') + name;
    }
}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::defaultName(const QString &suffix)
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime) && preparePrivateDirectory(runtime, false))
        return runtime + QStringLiteral("/quillmere") + suffix;
    const QString directory = privateFallbackDirectory();
    if (directory.isEmpty())
        return {};
    return directory + QStringLiteral("/instance") + suffix;
}

SingleInstance::Claim SingleInstance::handOver(const QString &path, const QStringList &argumentsForRunning)
{
    const QByteArray name = QFile::encodeName(path);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (name.isEmpty() || size_t(name.size()) >= sizeof(address.sun_path))
        return Claim::first;
    std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
    const SocketFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (socket.get() < 0 || ::connect(socket.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
        return Claim::first;
    ucred credentials{};
    socklen_t length = sizeof(credentials);
    // Someone else's listener is left to claim(), which replaces it.
    if (::getsockopt(socket.get(), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0
        || credentials.uid != ::geteuid())
        return Claim::first;
    const QByteArray request = encodeRequest(argumentsForRunning);
    if (request.size() > maxRequestBytes)
        return Claim::requestTooLarge;
    const timeval timeout{1, 0};
    ::setsockopt(socket.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    if (!writeAll(socket.get(), request)) {
        qCWarning(lcApp, "Could not hand the arguments to the running program: %s", std::strerror(errno));
        return Claim::handOverFailed;
    }
    return Claim::handedOver;
}

SingleInstance::Claim SingleInstance::claim(const QStringList &argumentsForRunning)
{
    if (m_path.isEmpty()) {
        qCWarning(lcApp, "No private place for the single-instance socket; not checking for a running copy");
        return Claim::first;
    }
    // Two starts at once must not both find nobody, both clear the socket and both listen.
    QLockFile lock(m_path + QStringLiteral(".lock"));
    if (!lock.tryLock(3000))
        qCWarning(lcApp, "Could not lock %s; claiming the single-instance socket anyway", qPrintable(lock.fileName()));

    QLocalSocket socket;
    socket.connectToServer(m_path);
    if (socket.waitForConnected(500)) {
        if (isOwnUser(socket)) {
            const QByteArray request = encodeRequest(argumentsForRunning);
            if (request.size() > maxRequestBytes)
                return Claim::requestTooLarge;
            socket.write(request);
            if (!socket.waitForBytesWritten(1000)) {
                qCWarning(lcApp, "Could not hand the arguments to the running program: %s",
                          qPrintable(socket.errorString()));
                return Claim::handOverFailed;
            }
            socket.disconnectFromServer();
            return Claim::handedOver;
        }
        // Only the user's own program may speak for it; whatever answers here is replaced.
        qCWarning(lcApp, "The single-instance socket %s is answered by another user; taking it over",
                  qPrintable(m_path));
        socket.abort();
    }
    // Nobody of ours answered: a socket file left by a crashed run is stale.
    listen();
    return Claim::first;
}

void SingleInstance::listen()
{
    QLocalServer::removeServer(m_path);
    m_server = std::make_unique<QLocalServer>();
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_path)) {
        qCWarning(lcApp, "Cannot listen for other starts: %s", qPrintable(m_server->errorString()));
        return;
    }
    connect(m_server.get(), &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = m_server->nextPendingConnection()) {
            if (!isOwnUser(*socket)) {
                qCWarning(lcApp, "Ignored a request from another user");
                socket->abort();
                socket->deleteLater();
                continue;
            }
            serve(socket);
        }
    });
}

void SingleInstance::serve(QLocalSocket *socket)
{
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
        auto dropOversized = [socket] {
            qCWarning(lcApp, "Dropped an oversized request from another start");
            socket->abort();
            socket->deleteLater();
        };
        while (socket->canReadLine()) {
            // readLine stops one short of its limit, so the longest allowed line ends in '\n'.
            const QByteArray line = socket->readLine(maxRequestBytes + 1);
            if (!line.endsWith('\n'))
                return dropOversized();
            if (const auto args = decodeArguments(line))
                Q_EMIT argumentsReceived(*args);
            else
                qCWarning(lcApp, "Ignored a malformed request from another start");
        }
        if (socket->bytesAvailable() > maxRequestBytes)
            dropOversized();
    });
}

} // namespace quillmere
