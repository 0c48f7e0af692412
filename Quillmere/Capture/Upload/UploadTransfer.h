#pragma once

#include <QByteArray>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QString>
#include <QUrl>
#include <functional>
#include <memory>
#include <optional>

class QIODevice;
class QNetworkAccessManager;
class QObject;

namespace quillmere {

// A request that never got an answer. Only the host and the kind of failure are kept: the URL may
// carry a signature, and Qt's own error text repeats the URL.
struct TransportError {
    QNetworkReply::NetworkError code = QNetworkReply::UnknownNetworkError;
    QString host;

    bool operator==(const TransportError &) const = default;
    bool isCancelled() const { return code == QNetworkReply::OperationCanceledError; }
    // A sentence for the user that names the host and nothing else of the request.
    QString description() const;
};

// What came back: an HTTP status with (part of) its body, or a transport failure.
struct HttpAnswer {
    std::optional<int> status;
    QByteArray body;
    // The body went past its cap; the transfer was cut there.
    bool bodyTooLarge = false;
    std::optional<TransportError> failure;
};

namespace UploadTransfer {

constexpr int timeoutMs = 60000;
// No answer we read is anywhere near this; a bigger one is not an answer of the service.
constexpr qint64 answerCap = 64 * 1024;

// https, or plain http to this machine when the caller allows it (tests against loopback servers).
bool isAllowedURL(const QUrl &url, bool allowLoopbackHttp);
bool isLoopbackHost(const QString &host);

// Time-out, no cache of ours, and redirects never followed: a redirect to another host would
// otherwise carry the Authorization header there, and a streamed body cannot be sent twice.
QNetworkRequest request(const QUrl &url);

// Calls `done` once, on the reply's thread, when the reply ends. Up to `cap` bytes of the body
// are kept when `keepBody`; past the cap the transfer is aborted. The reply is deleted afterwards.
// A reply that ends as cancelled without having been aborted here timed out.
void await(QNetworkReply *reply, qint64 cap, bool keepBody, std::function<void(HttpAnswer)> done);
// Ends a reply on the user's behalf: it reports as cancelled, not as timed out.
void abort(QNetworkReply *reply);

// Sends a request whose body is `body` (which the reply takes). Qt sends a request again by
// itself when the connection breaks; here that happens only for a PUT none of whose body was
// read yet, never for a POST, which is not safe to repeat. A lost connection is reported instead.
QNetworkReply *sendOnce(QNetworkAccessManager &network, const QNetworkRequest &request, const QByteArray &verb,
                        std::unique_ptr<QIODevice> body);

} // namespace UploadTransfer

} // namespace quillmere
