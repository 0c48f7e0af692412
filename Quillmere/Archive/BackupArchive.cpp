#include "Quillmere/Archive/BackupArchive.h"

#include "Quillmere/Archive/BoundedFile.h"
#include "Quillmere/Archive/JsonText.h"
#include "Quillmere/Platform/Core/InBackground.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <zlib.h>

namespace quillmere {

QString ClipArchiveError::errorDescription() const
{
    switch (code) {
    case Code::unsupportedVersion:
        return QStringLiteral(
                   "This backup was made by a newer version of Brindlewax (format %1, this app understands up "
                   "to %2). Update Brindlewax and try again.")
            .arg(found)
            .arg(supported);
    case Code::corrupt:
        return QStringLiteral("This file isn't a valid Brindlewax backup, or it's damaged.");
    case Code::tooLarge:
        if (bytes > 0)
            return QStringLiteral("This backup is too large to open (%1; Brindlewax opens backups of up to %2).")
                .arg(archive::byteCountText(bytes), archive::byteCountText(cap));
        return QStringLiteral("This backup expands to more than %1, which is more than Brindlewax can open.")
            .arg(archive::byteCountText(cap));
    case Code::unreadable:
        return QStringLiteral("The backup couldn't be read: %1").arg(reason);
    }
    return {};
}

namespace backup {

QString suggestedFileName(const QDate &today)
{
    return QStringLiteral("Brindlewax-Backup-%1.%2").arg(today.toString(QStringLiteral("yyyy-MM-dd")), fileExtension);
}

std::optional<QByteArray> deflateRaw(const QByteArray &input, QString *errorText)
{
    z_stream stream{};
    // Negative window bits: a bare DEFLATE stream, no header or checksum.
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        if (errorText)
            *errorText = QStringLiteral("The compressor could not start.");
        return std::nullopt;
    }
    QByteArray out;
    const char *next = input.constData();
    qint64 remaining = input.size();
    char buffer[64 * 1024];
    int status = Z_OK;
    do {
        const uInt chunk = uInt(std::min<qint64>(remaining, 1 << 30));
        stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(next));
        stream.avail_in = chunk;
        const int flush = remaining == chunk ? Z_FINISH : Z_NO_FLUSH;
        do {
            stream.next_out = reinterpret_cast<Bytef *>(buffer);
            stream.avail_out = sizeof buffer;
            status = deflate(&stream, flush);
            if (status == Z_STREAM_ERROR) {
                deflateEnd(&stream);
                if (errorText)
                    *errorText = QStringLiteral("The compressor failed.");
                return std::nullopt;
            }
            out.append(buffer, qsizetype(sizeof buffer - stream.avail_out));
        } while (stream.avail_out == 0);
        next += chunk - stream.avail_in;
        remaining -= chunk - stream.avail_in;
    } while (status != Z_STREAM_END);
    deflateEnd(&stream);
    return out;
}

std::optional<QByteArray> inflateRaw(const QByteArray &input, qint64 maxOutput, bool *exceeded)
{
    if (exceeded)
        *exceeded = false;
    z_stream stream{};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK)
        return std::nullopt;
    QByteArray out;
    const char *next = input.constData();
    qint64 remaining = input.size();
    char buffer[64 * 1024];
    int status = Z_OK;
    while (status != Z_STREAM_END) {
        if (stream.avail_in == 0) {
            if (remaining == 0)
                break; // the stream stops short
            const uInt chunk = uInt(std::min<qint64>(remaining, 1 << 30));
            stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(next));
            stream.avail_in = chunk;
            next += chunk;
            remaining -= chunk;
        }
        stream.next_out = reinterpret_cast<Bytef *>(buffer);
        stream.avail_out = sizeof buffer;
        status = inflate(&stream, Z_NO_FLUSH);
        if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
            inflateEnd(&stream);
            return std::nullopt;
        }
        const qint64 produced = qint64(sizeof buffer - stream.avail_out);
        if (out.size() + produced > maxOutput) {
            inflateEnd(&stream);
            if (exceeded)
                *exceeded = true;
            return std::nullopt;
        }
        out.append(buffer, qsizetype(produced));
        if (status == Z_BUF_ERROR && stream.avail_in == 0 && remaining == 0)
            break;
    }
    const bool complete = status == Z_STREAM_END && stream.avail_in == 0 && remaining == 0;
    inflateEnd(&stream);
    if (!complete)
        return std::nullopt;
    return out;
}

std::optional<QByteArray> encoded(const ClipArchiveDocument &document, QString *errorText)
{
    return deflateRaw(archive::jsonText(document.toJson(), archive::JsonLayout::compact), errorText);
}

ClipArchiveReadResult decode(const QByteArray &bytes, qint64 maxJson)
{
    QByteArray json;
    if (!bytes.isEmpty()) {
        bool exceeded = false;
        if (auto inflated = inflateRaw(bytes, maxJson, &exceeded))
            json = std::move(*inflated);
        else if (exceeded)
            return ClipArchiveError::tooLarge(0, maxJson);
        else
            json = bytes; // not compressed: perhaps plain JSON
    }
    if (json.size() > maxJson)
        return ClipArchiveError::tooLarge(json.size(), maxJson);

    QJsonParseError parseError{};
    const QJsonDocument parsed = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError || !parsed.isObject())
        return ClipArchiveError::corrupt();
    auto document = ClipArchiveDocument::fromJson(parsed.object());
    if (!document)
        return ClipArchiveError::corrupt();
    if (document->manifest.version > ClipArchiveManifest::currentVersion)
        return ClipArchiveError::unsupportedVersion(document->manifest.version, ClipArchiveManifest::currentVersion);
    // A payload that does not decode would restore as a clip without its image or file.
    for (const ClipArchiveClip &clip : document->clips) {
        if ((clip.imageDataBase64 && !archive::decodeBase64(*clip.imageDataBase64))
            || (clip.fileDataBase64 && !archive::decodeBase64(*clip.fileDataBase64)))
            return ClipArchiveError::corrupt();
    }
    return std::move(*document);
}

ClipArchiveReadResult readFile(const QString &path, qint64 maxFile, qint64 maxJson)
{
    archive::BoundedRead read = archive::readBoundedFile(path, maxFile);
    switch (read.status) {
    case archive::BoundedRead::Status::tooLarge:
        return ClipArchiveError::tooLarge(read.size, maxFile);
    case archive::BoundedRead::Status::unreadable:
        return ClipArchiveError::unreadable(read.errorText);
    case archive::BoundedRead::Status::ok:
        break;
    }
    return decode(read.bytes, maxJson);
}

bool writeFile(const QString &path, const ClipArchiveDocument &document, QString *errorText)
{
    const auto bytes = encoded(document, errorText);
    return bytes && archive::writeFileAtomically(path, *bytes, errorText);
}

void readFileInBackground(const QString &path, QObject *receiver, std::function<void(ClipArchiveReadResult)> done)
{
    inBackground(
        receiver, [path] { return readFile(path); }, std::move(done));
}

void writeFileInBackground(const QString &path, ClipArchiveDocument document, QObject *receiver,
                           std::function<void(std::optional<QString> error)> done)
{
    inBackground(
        receiver,
        [path, document = std::move(document)]() -> std::optional<QString> {
            QString errorText;
            if (writeFile(path, document, &errorText))
                return std::nullopt;
            return errorText;
        },
        std::move(done));
}

} // namespace backup
} // namespace quillmere
