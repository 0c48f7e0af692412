#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <functional>
#include <memory>
#include <sys/socket.h>

namespace quillmere::test {

// An HTTP/1.1 server on 127.0.0.1 that records each request and answers it with the raw bytes a
// test scripts. An empty answer holds the connection open without replying.
class LoopbackServer : public QObject {
public:
    struct Request {
        QByteArray method;
        QByteArray target;                    // path and query exactly as sent
        QMap<QByteArray, QByteArray> headers; // names lower-cased
        QByteArray body;
    };
    using Responder = std::function<QByteArray(const Request &)>;

    explicit LoopbackServer(Responder responder, const QHostAddress &address = QHostAddress::LocalHost)
        : m_responder(std::move(responder))
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection())
                serve(socket);
        });
        m_server.listen(address, 0);
    }

    quint16 port() const { return m_server.serverPort(); }
    QString origin() const
    {
        return QStringLiteral("http://%1:%2").arg(m_server.serverAddress().toString()).arg(port());
    }
    const QList<Request> &requests() const { return m_requests; }

    static QByteArray answer(int status, const QByteArray &body = {}, const QByteArray &extraHeaders = {})
    {
        return "HTTP/1.1 " + QByteArray::number(status) + " Status\r\nContent-Length: "
            + QByteArray::number(body.size()) + "\r\nConnection: close\r\n" + extraHeaders + "\r\n" + body;
    }
    // An answer that resets the connection (TCP RST) once the whole request was read.
    static QByteArray reset() { return QByteArrayLiteral("\0reset"); }
    static QByteArray json(int status, const QByteArray &body)
    {
        return answer(status, body, "Content-Type: application/json\r\n");
    }

private:
    void serve(QTcpSocket *socket)
    {
        socket->setParent(this);
        auto buffer = std::make_shared<QByteArray>();
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer] {
            *buffer += socket->readAll();
            const qsizetype end = buffer->indexOf("\r\n\r\n");
            if (end < 0)
                return;
            Request request;
            const QList<QByteArray> lines = buffer->left(end).split('\n');
            const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
            request.method = first.value(0);
            request.target = first.value(1);
            for (qsizetype i = 1; i < lines.size(); ++i) {
                const qsizetype colon = lines[i].indexOf(':');
                if (colon > 0)
                    request.headers.insert(lines[i].left(colon).trimmed().toLower(), lines[i].mid(colon + 1).trimmed());
            }
            const qsizetype length = request.headers.value("content-length", "0").toLongLong();
            if (buffer->size() < end + 4 + length)
                return;
            request.body = buffer->mid(end + 4, length);
            buffer->clear();
            m_requests << request;
            const QByteArray reply = m_responder(request);
            if (reply.isEmpty())
                return;
            if (reply == reset()) {
                const linger abortive{1, 0};
                ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
                socket->abort();
                return;
            }
            socket->write(reply);
            socket->disconnectFromHost();
        });
    }

    QTcpServer m_server;
    Responder m_responder;
    QList<Request> m_requests;
};

} // namespace quillmere::test
