#include "Quillmere/Model/CapturedContent.h"

#include "Quillmere/Model/SHA256Digest.h"
#include "Quillmere/Model/TextMeasures.h"

#include <QTextBoundaryFinder>
#include <QtEndian>

namespace quillmere {
namespace {

void addField(QCryptographicHash &hash, char tag, const QByteArray *bytes)
{
    // Tag, presence and big-endian length keep neighbouring fields from running into each other.
    char header[10];
    header[0] = tag;
    header[1] = bytes ? 1 : 0;
    qToBigEndian<quint64>(bytes ? quint64(bytes->size()) : 0, header + 2);
    hash.addData(QByteArrayView(header, sizeof header));
    if (bytes)
        hash.addData(*bytes);
}

void addText(QCryptographicHash &hash, char tag, const std::optional<QString> &text)
{
    if (!text) {
        addField(hash, tag, nullptr);
        return;
    }
    const QByteArray utf8 = text->toUtf8();
    addField(hash, tag, &utf8);
}

void addData(QCryptographicHash &hash, char tag, const std::optional<QByteArray> &data)
{
    // No data and zero bytes both mean nothing is there.
    addField(hash, tag, data && !data->isEmpty() ? &*data : nullptr);
}

} // namespace

QString CapturedContent::capText(const QString &text, qsizetype maxBytes)
{
    // Three bytes per UTF-16 unit is the most any text can need.
    if (text.size() * 3 <= maxBytes || utf8ByteCount(text) <= maxBytes)
        return text;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype bytes = 0;
    qsizetype kept = 0;
    qsizetype previous = 0;
    for (qsizetype next = finder.toNextBoundary(); next != -1; next = finder.toNextBoundary()) {
        bytes += utf8ByteCount(QStringView(text).mid(previous, next - previous));
        if (bytes > maxBytes)
            break;
        kept = next;
        previous = next;
    }
    return text.left(kept);
}

std::optional<QString> CapturedContent::capText(const std::optional<QString> &text)
{
    if (!text)
        return std::nullopt;
    return capText(*text, maxTextBytes);
}

QString CapturedContent::contentHash(ClipKind kind, const std::optional<QString> &text,
                                     const std::optional<QByteArray> &imageData,
                                     const std::optional<QByteArray> &fileData, const std::optional<QString> &fileName,
                                     const std::optional<QString> &fileTypeIdentifier)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    addText(hash, 'k', rawValue(kind));
    addText(hash, 't', text);
    addData(hash, 'i', imageData);
    addData(hash, 'f', fileData);
    addText(hash, 'n', fileName);
    addText(hash, 'y', fileTypeIdentifier);
    return SHA256Digest{hash.result()}.hexString();
}

QString CapturedContent::contentHash() const
{
    return contentHash(kind, text, imageData, fileData, fileName, fileTypeIdentifier);
}

} // namespace quillmere
