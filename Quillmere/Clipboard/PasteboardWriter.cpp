#include "Quillmere/Clipboard/PasteboardWriter.h"

#include "Quillmere/Platform/Core/AtomicFile.h"
#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/Core/PrivateDirectory.h"

#include <QBuffer>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QUuid>

namespace quillmere {
namespace {

bool hasImageExtension(const QString &path)
{
    return PasteboardWriter::imageFileExtensions.contains(QFileInfo(path).suffix().toLower());
}

QStringList nonEmptyLines(const std::optional<QString> &text)
{
    return text.value_or(QString()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QByteArray encodeTiff(const QByteArray &imageData)
{
    QImage image;
    if (!image.loadFromData(imageData))
        return {};
    QByteArray tiff;
    QBuffer buffer(&tiff);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "tiff");
    if (!writer.write(image))
        return {};
    return tiff;
}

} // namespace

QString rawValue(CopyFeedbackKind kind)
{
    return kind == CopyFeedbackKind::uploadComplete ? QStringLiteral("uploadComplete") : QStringLiteral("standard");
}

void postOwnPasteboardWrite(NotificationCenter &center, qint64 changeCount, std::optional<CopyFeedbackKind> feedback)
{
    QVariantMap info{{ownPasteboardWriteChangeCountKey, QVariant::fromValue<qint64>(changeCount)}};
    if (feedback)
        info.insert(ownPasteboardWriteFeedbackKey, rawValue(*feedback));
    center.post(ownPasteboardWriteNotification, nullptr, info);
}

PasteboardWriter::PasteboardWriter(Pasteboard &pasteboard, NotificationCenter &center, QString temporaryRoot)
    : m_pasteboard(pasteboard), m_center(center), m_temporaryRoot(std::move(temporaryRoot))
{
}

bool PasteboardWriter::writeClip(const ClipItem &clip)
{
    const auto contents = contentsForClip(clip);
    if (!contents) {
        qCInfo(lcPaste, "Nothing to write for a %s clip; the clipboard is left as it was",
               qUtf8Printable(clip.kindRawValue()));
        return false;
    }
    return writeContents(*contents, CopyFeedbackKind::standard).has_value();
}

std::optional<qint64> PasteboardWriter::writeContents(const PasteboardContents &contents,
                                                      std::optional<CopyFeedbackKind> feedback)
{
    if (contents.isEmpty())
        return std::nullopt;
    const qint64 count = m_pasteboard.clearContents();
    postOwnPasteboardWrite(m_center, count, feedback);
    m_pasteboard.writeContents(contents);
    return count;
}

std::optional<PasteboardContents> PasteboardWriter::contentsForClip(const ClipItem &clip) const
{
    PasteboardContents contents;
    switch (clip.kind()) {
    case ClipKind::text:
    case ClipKind::url: {
        contents.setString(clip.text().value_or(QString()));
        const auto &type = clip.fileTypeIdentifier();
        if (type && richTextTypes.contains(*type) && clip.hasFileData()) {
            if (const auto rich = clip.fileData())
                contents.setData(*rich, *type);
        }
        return contents;
    }
    case ClipKind::image: {
        const auto image = clip.imageData();
        if (!image || image->isEmpty())
            return std::nullopt;
        addImageData(contents, *image);
        return contents;
    }
    case ClipKind::file:
        return fileClipContents(clip, MissingFileFallback::pathText);
    }
    return std::nullopt;
}

std::optional<PasteboardContents> PasteboardWriter::fileClipContents(const ClipItem &clip,
                                                                     MissingFileFallback fallback) const
{
    PasteboardContents contents;
    QList<QUrl> existing;
    for (const QString &path : nonEmptyLines(clip.text())) {
        // A relative path would depend on our working directory, which has nothing to do with it.
        if (QDir::isAbsolutePath(path) && QFileInfo::exists(path))
            existing.append(QUrl::fromLocalFile(path));
    }
    const bool imageFile = isImageFileClip(clip);
    const auto image = imageFile && clip.hasImageData() ? clip.imageData() : std::nullopt;

    if (!existing.isEmpty()) {
        contents.setFileURLs(existing);
        if (image && !image->isEmpty())
            addImageData(contents, *image);
        return contents;
    }
    if (image && !image->isEmpty()) {
        addImageData(contents, *image);
        return contents;
    }
    if (const auto copy = temporaryFileURL(clip)) {
        contents.setFileURLs({*copy});
        return contents;
    }
    if (fallback == MissingFileFallback::pathText && clip.text() && !clip.text()->isEmpty()) {
        contents.setString(*clip.text());
        return contents;
    }
    return std::nullopt;
}

std::optional<QUrl> PasteboardWriter::temporaryFileURL(const ClipItem &clip) const
{
    if (!clip.hasFileData() || !clip.fileName() || clip.fileName()->isEmpty())
        return std::nullopt;
    // Only the last component of the stored name ever reaches the file system.
    const QString baseName = QFileInfo(*clip.fileName()).fileName();
    if (baseName.isEmpty() || baseName == QLatin1String(".") || baseName == QLatin1String("..")
        || baseName.contains(QChar(0)))
        return std::nullopt;
    const auto bytes = clip.fileData();
    if (!bytes || bytes->isEmpty())
        return std::nullopt;

    const QString root = preparePrivateTemporaryFolder(temporaryFolderName, m_temporaryRoot);
    QString folderName = clip.dedupID().toString(QUuid::WithoutBraces);
    if (clip.dedupID().isNull())
        folderName = QUuid::createUuid().toString(QUuid::WithoutBraces);
    const QString folder = QDir(root).filePath(folderName);
    if (root.isEmpty() || !preparePrivateDirectory(folder)) {
        qCWarning(lcPaste, "Cannot prepare a private folder for a temporary file copy");
        return std::nullopt;
    }

    const QString path = QDir(folder).filePath(baseName);
    QString error;
    if (!writeFileAtomically(path, *bytes, &error)) {
        qCWarning(lcPaste, "Cannot write a temporary file copy: %s", qUtf8Printable(error));
        return std::nullopt;
    }
    return QUrl::fromLocalFile(path);
}

bool PasteboardWriter::isImageFileClip(const ClipItem &clip)
{
    if (clip.kind() != ClipKind::file)
        return false;
    if (clip.fileName() && !clip.fileName()->isEmpty())
        if (hasImageExtension(*clip.fileName()))
            return true;
    for (const QString &path : nonEmptyLines(clip.text()))
        if (hasImageExtension(path))
            return true;
    return false;
}

void PasteboardWriter::addImageData(PasteboardContents &contents, const QByteArray &imageData)
{
    contents.setData(imageData, PasteboardType::png);
    // Reading the header is enough to know it decodes; the TIFF itself is made only if asked for.
    QBuffer probe;
    probe.setData(imageData);
    probe.open(QIODevice::ReadOnly);
    QImageReader reader(&probe);
    if (reader.canRead() && reader.size().isValid())
        contents.setDerivedData(PasteboardType::tiff, [imageData] { return encodeTiff(imageData); });
}

} // namespace quillmere
