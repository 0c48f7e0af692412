#include "Quillmere/Capture/Upload/S3Presigner.h"

#include <QCryptographicHash>
#include <QMessageAuthenticationCode>
#include <QStringList>
#include <algorithm>

namespace quillmere {

QString S3Presigner::percentEncode(const QString &text)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    const QByteArray bytes = text.toUtf8();
    QString out;
    out.reserve(bytes.size() * 3);
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        const bool unreserved = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '-'
            || b == '.' || b == '_' || b == '~';
        if (unreserved) {
            out += QLatin1Char(c);
        } else {
            out += QLatin1Char('%');
            out += QLatin1Char(hex[b >> 4]);
            out += QLatin1Char(hex[b & 0xF]);
        }
    }
    return out;
}

QString S3Presigner::canonicalQuery(QList<QPair<QString, QString>> items)
{
    for (auto &item : items)
        item = {percentEncode(item.first), percentEncode(item.second)};
    // Encoded texts are ASCII, so this compares bytes.
    std::sort(items.begin(), items.end());
    QStringList parts;
    parts.reserve(items.size());
    for (const auto &[name, value] : items)
        parts << name + QLatin1Char('=') + value;
    return parts.join(QLatin1Char('&'));
}

QString S3Presigner::canonicalURI(const QString &path)
{
    QStringList segments = path.split(QLatin1Char('/'), Qt::KeepEmptyParts);
    for (QString &segment : segments)
        segment = percentEncodeSegment(segment);
    return segments.join(QLatin1Char('/'));
}

QString S3Presigner::sha256Hex(const QString &text)
{
    return QString::fromLatin1(QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha256).toHex());
}

QByteArray S3Presigner::hmac(const QString &message, const QByteArray &key)
{
    return QMessageAuthenticationCode::hash(message.toUtf8(), key, QCryptographicHash::Sha256);
}

QString S3Presigner::hmacHex(const QString &message, const QByteArray &key)
{
    return QString::fromLatin1(hmac(message, key).toHex());
}

QString S3Presigner::requestTime(const QDateTime &date)
{
    const QDateTime utc = date.toUTC();
    const QDate d = utc.date();
    const QTime t = utc.time();
    return QString::asprintf("%04d%02d%02dT%02d%02d%02dZ", d.year(), d.month(), d.day(), t.hour(), t.minute(),
                             t.second());
}

QString S3Presigner::dateStamp(const QDateTime &date)
{
    const QDate d = date.toUTC().date();
    return QString::asprintf("%04d%02d%02d", d.year(), d.month(), d.day());
}

std::optional<QUrl> S3Presigner::presignedURL(const QString &method, const QString &host, const QString &path,
                                              qint64 expires, const QDateTime &date) const
{
    const QString amzDate = requestTime(date);
    const QString stamp = dateStamp(date);
    const QString scope =
        stamp + QLatin1Char('/') + region + QLatin1Char('/') + service + QLatin1String("/aws4_request");

    const QString query = canonicalQuery({
        {QStringLiteral("X-Amz-Algorithm"), algorithm},
        {QStringLiteral("X-Amz-Credential"), accessKeyID + QLatin1Char('/') + scope},
        {QStringLiteral("X-Amz-Date"), amzDate},
        {QStringLiteral("X-Amz-Expires"), QString::number(expires)},
        {QStringLiteral("X-Amz-SignedHeaders"), QStringLiteral("host")},
    });
    const QString uri = canonicalURI(path);
    const QString canonicalRequest = QStringList{method,
                                                 uri,
                                                 query,
                                                 QLatin1String("host:") + host + QLatin1Char('\n'),
                                                 QStringLiteral("host"),
                                                 QStringLiteral("UNSIGNED-PAYLOAD")}
                                         .join(QLatin1Char('\n'));
    const QString stringToSign =
        QStringList{algorithm, amzDate, scope, sha256Hex(canonicalRequest)}.join(QLatin1Char('\n'));

    QByteArray key = hmac(stamp, (QLatin1String("AWS4") + secretAccessKey).toUtf8());
    key = hmac(region, key);
    key = hmac(service, key);
    key = hmac(QStringLiteral("aws4_request"), key);
    const QString signature = hmacHex(stringToSign, key);

    const QString target = uri + QLatin1Char('?') + query + QLatin1String("&X-Amz-Signature=") + signature;
    const QUrl url(QLatin1String("https://") + host + target, QUrl::StrictMode);
    // The request line must carry exactly what was signed.
    if (!url.isValid() || url.host().isEmpty()
        || QString::fromLatin1(url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority)) != target)
        return std::nullopt;
    return url;
}

} // namespace quillmere
