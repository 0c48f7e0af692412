#include "Quillmere/Model/ClipPreview.h"

#include "Quillmere/Model/FileNames.h"
#include "Quillmere/Platform/Core/AtomicFile.h"
#include "Quillmere/Platform/Core/Json.h"
#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Platform/Core/PrivateDirectory.h"

#include <QBuffer>
#include <QDir>
#include <QFileInfo>
#include <QImage>

namespace quillmere {
namespace {

QString previewFolderName()
{
    return QStringLiteral("QuillmerePreviews");
}

enum class PreviewKind { none, link, ownFile, text, image, fileData };

std::optional<QUrl> webLink(const ClipItem &clip)
{
    if (!clip.text())
        return std::nullopt;
    const QUrl url(clip.text()->trimmed(), QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")) || url.host().isEmpty())
        return std::nullopt;
    return url;
}

// The first path of a file clip, when it is absolute and still there. Relative paths (such as
// the base names of imported clips) never name a file here.
std::optional<QString> ownFile(const ClipItem &clip)
{
    if (!clip.text())
        return std::nullopt;
    for (QStringView line : QStringView(*clip.text()).split(u'\n')) {
        const QString path = line.trimmed().toString();
        if (path.isEmpty())
            continue;
        if (QDir::isAbsolutePath(path) && QFileInfo::exists(path))
            return path;
        return std::nullopt;
    }
    return std::nullopt;
}

bool hasText(const ClipItem &clip)
{
    return clip.text() && !clip.text()->trimmed().isEmpty();
}

PreviewKind planFor(const ClipItem &clip)
{
    switch (clip.kind()) {
    case ClipKind::url:
        if (webLink(clip))
            return PreviewKind::link;
        if (clip.hasImageData())
            return PreviewKind::image;
        return hasText(clip) ? PreviewKind::text : PreviewKind::none;
    case ClipKind::image:
        if (clip.hasImageData())
            return PreviewKind::image;
        return PreviewKind::none;
    case ClipKind::file:
        if (clip.hasFileData())
            return PreviewKind::fileData;
        if (ownFile(clip))
            return PreviewKind::ownFile;
        return clip.hasImageData() ? PreviewKind::image : PreviewKind::none;
    case ClipKind::text:
        break;
    }
    if (hasText(clip))
        return PreviewKind::text;
    if (clip.hasImageData())
        return PreviewKind::image;
    return clip.hasFileData() ? PreviewKind::fileData : PreviewKind::none;
}

// The preview folder, made ours and private; a folder someone else made or planted is not
// written into.
std::optional<QDir> preparedFolder()
{
    const QString path = preparePrivateTemporaryFolder(previewFolderName(), QDir::tempPath());
    if (path.isEmpty()) {
        qCWarning(lcStore, "No preview: no private folder of this user could be had for it");
        return std::nullopt;
    }
    return QDir(path);
}

std::optional<QString> writePrivately(const QString &path, const QByteArray &bytes)
{
    QString error;
    if (!writeFileAtomically(path, bytes, &error)) {
        qCWarning(lcStore, "Failed to write preview: %s", qPrintable(error));
        return std::nullopt;
    }
    return path;
}

QByteArray asPNG(const QByteArray &data)
{
    static const QByteArray signature("\x89PNG\r\n\x1a\n", 8);
    if (data.startsWith(signature))
        return data;
    const QImage image = QImage::fromData(data);
    if (image.isNull())
        return data;
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    return image.save(&buffer, "PNG") ? png : data;
}

} // namespace

bool canPreviewClip(const ClipItem &clip)
{
    return planFor(clip) != PreviewKind::none;
}

QString clipPreviewFolder()
{
    return QDir::temp().filePath(previewFolderName());
}

std::optional<QUrl> clipPreviewTarget(const ClipItem &clip)
{
    const PreviewKind kind = planFor(clip);
    switch (kind) {
    case PreviewKind::none:
        return std::nullopt;
    case PreviewKind::link:
        return webLink(clip);
    case PreviewKind::ownFile:
        return QUrl::fromLocalFile(*ownFile(clip));
    default:
        break;
    }
    const auto folder = preparedFolder();
    if (!folder)
        return std::nullopt;
    const QString id = uuidText(clip.dedupID());
    std::optional<QString> written;
    if (kind == PreviewKind::text) {
        written = writePrivately(folder->filePath(id + QStringLiteral(".txt")), clip.text()->toUtf8());
    } else if (kind == PreviewKind::image) {
        written = writePrivately(folder->filePath(id + QStringLiteral(".png")),
                                 asPNG(clip.imageData().value_or(QByteArray())));
    } else {
        // One folder per clip keeps two files of the same name apart; the name from the clip is
        // cut to its base so it can never point outside.
        QString name = baseFileName(clip.fileName().value_or(QString()));
        if (name.isEmpty())
            name = QStringLiteral("File");
        if (!preparePrivateDirectory(folder->filePath(id)))
            return std::nullopt;
        written =
            writePrivately(folder->filePath(id + QLatin1Char('/') + name), clip.fileData().value_or(QByteArray()));
    }
    if (!written)
        return std::nullopt;
    return QUrl::fromLocalFile(*written);
}

void openClipPreview(const ClipItem &clip, const std::function<bool(const QUrl &)> &open)
{
    const std::optional<QUrl> target = clipPreviewTarget(clip);
    if (!target)
        return;
    if (open)
        open(*target);
}

} // namespace quillmere
