#include "Quillmere/Capture/Overlay/CaptureCardActions.h"

#include "Quillmere/Clipboard/PasteboardWriter.h"
#include "Quillmere/Model/ClipPreview.h"
#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Platform/Core/AtomicFile.h"
#include "Quillmere/Platform/Core/PrivateDirectory.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace quillmere {

CaptureCardActions::CaptureCardActions(Dependencies deps, ClipRef clip,
                                       std::shared_ptr<CaptureOverlayUploadProgress> progress, QImage image)
    : m_deps(std::move(deps)), m_clip(std::move(clip)), m_progress(std::move(progress)), m_image(std::move(image))
{
    if (m_deps.temporaryRoot.isEmpty())
        m_deps.temporaryRoot = QDir::tempPath();
}

bool CaptureCardActions::isGone() const
{
    return !m_clip || m_clip->isDeleted();
}

bool CaptureCardActions::showsUploadButton() const
{
    return (m_progress && m_progress->state().kind != CaptureOverlayUploadProgress::Kind::idle)
        || m_deps.uploads.isConfigured();
}

std::optional<QString> CaptureCardActions::existingFilePath() const
{
    if (m_clip->kind() != ClipKind::file || !m_clip->text())
        return std::nullopt;
    const QFileInfo info(*m_clip->text());
    if (!info.isAbsolute() || !info.isFile())
        return std::nullopt;
    return info.filePath();
}

QByteArray CaptureCardActions::pngData() const
{
    if (m_image.isNull())
        return {};
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    return m_image.save(&buffer, "PNG") ? bytes : QByteArray();
}

QString CaptureCardActions::privateFolder(const QString &name) const
{
    return preparePrivateTemporaryFolder(name, m_deps.temporaryRoot);
}

CaptureCardActions::Outcome CaptureCardActions::copy()
{
    if (isGone())
        return Outcome::close;
    if (m_deps.writer)
        m_deps.writer->writeClip(*m_clip);
    if (m_deps.store)
        m_deps.store->bumpToTop(m_clip, m_deps.clock());
    return Outcome::close;
}

CaptureCardActions::Outcome CaptureCardActions::togglePin()
{
    if (isGone())
        return Outcome::close;
    if (m_deps.store)
        m_deps.store->togglePin(m_clip);
    return Outcome::stay;
}

CaptureCardActions::Outcome CaptureCardActions::annotate()
{
    if (isGone())
        return Outcome::close;
    const auto open = [this](const QUrl &url) { return m_deps.open ? m_deps.open(url) : false; };
    if (const auto path = existingFilePath()) {
        open(QUrl::fromLocalFile(*path));
        return Outcome::close;
    }
    if (canPreviewClip(*m_clip)) {
        openClipPreview(*m_clip, open);
        return Outcome::close;
    }
    const QByteArray png = pngData();
    if (png.isEmpty())
        return Outcome::stay;
    const QString folder = privateFolder(annotationFolderName);
    if (folder.isEmpty())
        return Outcome::stay;
    const QString file = QDir(folder).filePath(
        QStringLiteral("annotate-%1.png").arg(m_clip->dedupID().toString(QUuid::WithoutBraces).left(8)));
    if (!writeFileAtomically(file, png, nullptr))
        return Outcome::stay;
    open(QUrl::fromLocalFile(file));
    return Outcome::close;
}

std::optional<CaptureCardActions::SaveRequest> CaptureCardActions::saveRequest() const
{
    if (isGone())
        return std::nullopt;
    if (const auto path = existingFilePath())
        return SaveRequest{QStringLiteral("Save Recording"),
                           QFileInfo(*path).fileName(),
                           QStringLiteral("Videos (*.mp4 *.mov *.webm *.mkv);;All files (*)"),
                           *path,
                           {}};
    QByteArray data = m_clip->imageData().value_or(QByteArray());
    if (data.isEmpty())
        data = pngData();
    if (data.isEmpty())
        return std::nullopt;
    return SaveRequest{QStringLiteral("Save Screenshot"),
                       suggestedScreenshotFileName(m_clip->createdAt()),
                       QStringLiteral("PNG image (*.png)"),
                       {},
                       data};
}

bool CaptureCardActions::write(const SaveRequest &request, const QString &destination)
{
    if (destination.isEmpty())
        return false;
    AtomicFile out(destination, FileAccess::document);
    if (request.sourcePath.isEmpty()) {
        if (!out.write(request.data))
            return false;
    } else {
        QFile in(request.sourcePath);
        if (!in.open(QIODevice::ReadOnly))
            return false;
        QByteArray chunk;
        while (!(chunk = in.read(1 << 20)).isEmpty())
            if (!out.write(chunk))
                return false;
        if (in.error() != QFileDevice::NoError)
            return false;
    }
    return out.commit();
}

std::optional<CaptureCardActions::DragPayload> CaptureCardActions::dragPayload() const
{
    if (isGone())
        return std::nullopt;
    if (const auto path = existingFilePath())
        return DragPayload{*path, {}};
    QByteArray png = m_clip->kind() == ClipKind::image ? m_clip->imageData().value_or(QByteArray()) : QByteArray();
    if (png.isEmpty())
        png = pngData();
    if (png.isEmpty())
        return std::nullopt;
    const QString folder = privateFolder(dragFolderName);
    if (folder.isEmpty())
        return std::nullopt;
    const QString name = suggestedScreenshotFileName(m_clip->createdAt());
    const QString file = QDir(folder).filePath(name);
    if (!writeFileAtomically(file, png, nullptr))
        return std::nullopt;
    return DragPayload{file, png};
}

CaptureCardActions::Outcome CaptureCardActions::upload()
{
    if (isGone())
        return Outcome::close;
    using Kind = CaptureOverlayUploadProgress::Kind;
    const Kind kind = m_progress->state().kind;
    if (kind == Kind::uploading || kind == Kind::done)
        return Outcome::stay;
    m_progress->setState({Kind::uploading, {}});
    QObject *owner = m_deps.uploadOwner ? m_deps.uploadOwner.data() : m_progress.get();
    // The result arrives only while `owner` lives, and the writer outlives every owner.
    m_deps.uploads.upload(owner, *m_clip, [progress = m_progress, writer = m_deps.writer](UploadResult result) {
        if (const QUrl *link = std::get_if<QUrl>(&result)) {
            if (writer) {
                PasteboardContents contents;
                contents.setString(link->toString(QUrl::FullyEncoded));
                writer->writeContents(contents, CopyFeedbackKind::uploadComplete);
            }
            progress->setState({Kind::done, {}});
        } else {
            const UploadError &error = std::get<UploadError>(result);
            progress->setState(CaptureOverlayUploadProgress::State::failed(error.message(), error.reason()));
        }
    });
    return Outcome::stay;
}

QString CaptureCardActions::suggestedScreenshotFileName(const QDateTime &createdAt)
{
    return QStringLiteral("Brindlewax-%1.png")
        .arg(createdAt.toLocalTime().toString(QStringLiteral("yyyy-MM-dd-HHmmss")));
}

} // namespace quillmere
