#include "Quillmere/Panel/FileClipReader.h"

#include "Quillmere/Platform/Core/BoundedFile.h"

#include <QFileInfo>
#include <QLocale>
#include <QMimeDatabase>

namespace quillmere {

namespace {

const QString ownBundleID = QStringLiteral("com.orvantide.quillmere");

} // namespace

QString fileTooLargeMessage(qint64 maxBytes)
{
    return QStringLiteral("Files larger than ") + QLocale::c().formattedDataSize(maxBytes, 1, QLocale::DataSizeSIFormat)
        + QStringLiteral(" cannot be saved yet.");
}

QString typeIdentifierForMimeType(const QString &mimeType, bool *isImage)
{
    static const struct {
        const char *mime;
        const char *identifier;
    } known[] = {
        {"image/png", "public.png"},
        {"image/jpeg", "public.jpeg"},
        {"image/tiff", "public.tiff"},
        {"image/gif", "com.compuserve.gif"},
        {"image/heic", "public.heic"},
        {"image/bmp", "com.microsoft.bmp"},
        {"image/webp", "org.webmproject.webp"},
        {"image/svg+xml", "public.svg-image"},
        {"application/pdf", "com.adobe.pdf"},
        {"text/plain", "public.plain-text"},
        {"text/html", "public.html"},
        {"text/rtf", "public.rtf"},
        {"application/rtf", "public.rtf"},
        {"application/json", "public.json"},
        {"text/csv", "public.comma-separated-values-text"},
        {"application/zip", "public.zip-archive"},
    };
    const bool image = mimeType.startsWith(QLatin1String("image/"));
    if (isImage)
        *isImage = image;
    for (const auto &entry : known) {
        if (mimeType == QLatin1String(entry.mime))
            return QString::fromLatin1(entry.identifier);
    }
    return image ? QStringLiteral("public.image") : QStringLiteral("public.data");
}

FileClipRead readFileClip(const QString &path, qint64 maxBytes)
{
    FileClipRead result;
    const QFileInfo info(path);
    BoundedFileRead read = readBoundedFile(path, BoundedFileLimits{maxBytes, false, fileClipReadMs});
    switch (read.status) {
    case BoundedFileRead::Status::ok:
        break;
    case BoundedFileRead::Status::notRegular:
        result.errorMessage = QStringLiteral("Only files can be added.");
        return result;
    case BoundedFileRead::Status::tooLarge:
        result.errorMessage = fileTooLargeMessage(maxBytes);
        return result;
    default:
        result.errorMessage = read.errorText;
        return result;
    }
    const QByteArray bytes = std::move(read.bytes);

    bool isImage = false;
    const QMimeType mime = QMimeDatabase().mimeTypeForFileNameAndData(info.fileName(), bytes);
    const QString type = typeIdentifierForMimeType(mime.name(), &isImage);
    CapturedContent content;
    content.kind = ClipKind::file;
    content.text = info.absoluteFilePath();
    if (isImage)
        content.imageData = bytes;
    content.fileData = bytes;
    content.fileName = info.fileName();
    content.fileTypeIdentifier = type;
    content.sourceAppName = QStringLiteral("Quillmere");
    content.sourceAppBundleID = ownBundleID;
    result.content = std::move(content);
    return result;
}

} // namespace quillmere
