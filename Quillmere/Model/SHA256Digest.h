#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QString>

namespace quillmere {

struct SHA256Digest {
    QByteArray bytes;

    static SHA256Digest of(QByteArrayView data) { return {QCryptographicHash::hash(data, QCryptographicHash::Sha256)}; }
    // 64 lower-case hex characters, two per byte.
    QString hexString() const { return QString::fromLatin1(bytes.toHex()); }
};

} // namespace quillmere
