#include "Quillmere/Capture/Upload/UploadTransfer.h"

#include <QHostAddress>
#include <QNetworkAccessManager>
#include <memory>

namespace quillmere {

QString TransportError::description() const
{
    const QString where = host.isEmpty() ? QStringLiteral("the server") : host;
    switch (code) {
    case QNetworkReply::OperationCanceledError:
        return QStringLiteral("The upload to %1 was cancelled.").arg(where);
    case QNetworkReply::TimeoutError:
        return QStringLiteral("The request to %1 timed out.").arg(where);
    case QNetworkReply::HostNotFoundError:
        return QStringLiteral("%1 could not be found.").arg(where);
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::ContentReSendError:
        return QStringLiteral("The connection to %1 broke before it answered; the upload was not sent again.")
            .arg(where);
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::UnknownNetworkError:
        return QStringLiteral("Could not connect to %1.").arg(where);
    case QNetworkReply::SslHandshakeFailedError:
        return QStringLiteral("A secure connection to %1 could not be made.").arg(where);
    case QNetworkReply::ProtocolUnknownError:
        return QStringLiteral("Only secure (https) connections to %1 are allowed.").arg(where);
    default:
        return QStringLiteral("The connection to %1 failed.").arg(where);
    }
}

namespace UploadTransfer {

bool isLoopbackHost(const QString &host)
{
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

bool isAllowedURL(const QUrl &url, bool allowLoopbackHttp)
{
    if (!url.isValid() || url.host().isEmpty())
        return false;
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("https"))
        return true;
    return allowLoopbackHttp && scheme == QLatin1String("http") && isLoopbackHost(url.host());
}

QNetworkRequest request(const QUrl &url)
{
    QNetworkRequest request(url);
    request.setTransferTimeout(timeoutMs);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    return request;
}

namespace {

constexpr char abortedProperty[] = "quillmereAborted";

// Errors Qt derives from an HTTP status; the answer itself is what counts then.
bool isHttpStatusError(QNetworkReply::NetworkError code)
{
    return code == QNetworkReply::NoError || (code >= QNetworkReply::ContentAccessDenied && code <= 299)
        || (code >= QNetworkReply::InternalServerError && code <= 499);
}

} // namespace

void await(QNetworkReply *reply, qint64 cap, bool keepBody, std::function<void(HttpAnswer)> done)
{
    auto answer = std::make_shared<HttpAnswer>();
    const QString host = reply->url().host();
    auto received = std::make_shared<qint64>(0);
    auto consume = [reply, answer, cap, keepBody, received] {
        if (answer->bodyTooLarge)
            return;
        const QByteArray chunk = reply->readAll();
        *received += chunk.size();
        if (*received > cap) {
            answer->bodyTooLarge = true;
            answer->body.clear();
            reply->abort();
            return;
        }
        if (keepBody)
            answer->body += chunk;
    };
    QObject::connect(reply, &QNetworkReply::readyRead, reply, consume);
    QObject::connect(reply, &QNetworkReply::finished, reply, [reply, answer, host, consume, done = std::move(done)] {
        reply->deleteLater();
        if (reply->bytesAvailable() > 0)
            consume();
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (status.isValid())
            answer->status = status.toInt();
        // A reply that is not HTTP at all is an answer too, just not one we can read.
        const bool notHttp = !status.isValid() && reply->error() == QNetworkReply::ProtocolFailure;
        if (!answer->bodyTooLarge && !notHttp && reply->error() != QNetworkReply::NoError
            && (!status.isValid() || !isHttpStatusError(reply->error()))) {
            QNetworkReply::NetworkError code = reply->error();
            // Qt ends a transfer that went quiet for too long as if it had been cancelled.
            if (code == QNetworkReply::OperationCanceledError && !reply->property(abortedProperty).toBool())
                code = QNetworkReply::TimeoutError;
            answer->failure = TransportError{code, host};
        }
        done(std::move(*answer));
    });
}

namespace {

// A body Qt can rewind only while that is safe: its resend after a broken connection starts by
// rewinding the body, and a refusal makes it report the failure instead.
class SingleSendBody : public QIODevice {
public:
    SingleSendBody(std::unique_ptr<QIODevice> source, bool repeatable)
        : m_source(std::move(source)), m_repeatable(repeatable)
    {
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }
    bool isSequential() const override { return false; }
    qint64 size() const override { return m_source->size(); }
    // Qt rewinds a body only to send it again.
    bool seek(qint64 pos) override
    {
        if (pos <= this->pos() && (!m_repeatable || m_read))
            return false;
        return m_source->seek(pos) && QIODevice::seek(pos);
    }
    bool reset() override { return seek(0); }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        const qint64 got = m_source->read(data, maxSize);
        m_read = m_read || got > 0;
        return got;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    std::unique_ptr<QIODevice> m_source;
    bool m_repeatable;
    bool m_read = false;
};

} // namespace

QNetworkReply *sendOnce(QNetworkAccessManager &network, const QNetworkRequest &request, const QByteArray &verb,
                        std::unique_ptr<QIODevice> body)
{
    auto once = std::make_unique<SingleSendBody>(std::move(body), verb == "PUT");
    QNetworkReply *reply = network.sendCustomRequest(request, verb, once.get());
    once.release()->setParent(reply);
    return reply;
}

void abort(QNetworkReply *reply)
{
    if (!reply)
        return;
    reply->setProperty(abortedProperty, true);
    reply->abort();
}

} // namespace UploadTransfer

} // namespace quillmere
