#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrl>
#include <optional>

namespace quillmere {

// Presigned URLs after AWS Signature Version 4, query-string form, with an unsigned payload and
// only the host header signed. Pure: the same inputs at the same instant give the same URL.
struct S3Presigner {
    QString accessKeyID;
    // Key material only; never part of the URL.
    QString secretAccessKey;
    QString region;

    static inline const QString service = QStringLiteral("s3");
    static inline const QString algorithm = QStringLiteral("AWS4-HMAC-SHA256");

    // "https://" + host + the encoded path + the signed query. Nothing when that text is not a
    // valid URL. The host is used as given.
    std::optional<QUrl> presignedURL(const QString &method, const QString &host, const QString &path, qint64 expires,
                                     const QDateTime &date) const;

    // The pieces, exposed for tests.
    static QString percentEncode(const QString &text);
    static QString percentEncodeSegment(const QString &text) { return percentEncode(text); }
    static QString canonicalQuery(QList<QPair<QString, QString>> items);
    static QString canonicalURI(const QString &path);
    static QString sha256Hex(const QString &text);
    static QByteArray hmac(const QString &message, const QByteArray &key);
    static QString hmacHex(const QString &message, const QByteArray &key);
    // "yyyyMMdd'T'HHmmss'Z'" and "yyyyMMdd" in UTC, ASCII digits whatever the locale.
    static QString requestTime(const QDateTime &date);
    static QString dateStamp(const QDateTime &date);
};

} // namespace quillmere
