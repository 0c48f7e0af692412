#include "Quillmere/Clipboard/PasteboardCapture.h"

#include "Quillmere/Clipboard/PasteboardWriter.h"
#include "Quillmere/Platform/DesktopEntries.h"

#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Model/ImageHelpers.h"
#include "Quillmere/Platform/Core/HandOver.h"
#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Platform/Core/Preferences.h"
#include "Quillmere/Platform/Pasteboard.h"
#include "Quillmere/Platform/TextRecognizer.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QImageReader>
#include <QPointer>
#include <QUrl>

namespace quillmere {
namespace {

const QStringList imageTypesInOrder{PasteboardType::png, PasteboardType::tiff, PasteboardType::jpeg,
                                    PasteboardType::bmp, PasteboardType::webp};

QImage decodeFirstImage(const QByteArray &data)
{
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    return reader.read();
}

// Hands `work` to the main thread; it runs only if the guarded object still exists then.
template <typename T, typename Work> void onMainThread(QPointer<T> guard, Work work)
{
    QMetaObject::invokeMethod(QCoreApplication::instance(),
                              QUILLMERE_HANDED_OVER(nullptr,
                                                    [guard, work = std::move(work)]() mutable {
                                                        if (guard)
                                                            work(guard.data());
                                                    }),
                              Qt::QueuedConnection);
}

} // namespace

PasteboardCapture::PasteboardCapture(CaptureDependencies deps, QObject *parent)
    : QObject(parent), m_deps(std::move(deps))
{
    Q_ASSERT(m_deps.store && m_deps.pasteboard && m_deps.preferences);
    if (!m_deps.frontApplication)
        m_deps.frontApplication = identifiedFrontApplications(std::make_shared<DesktopEntries>());
    if (!m_deps.recognizeText)
        m_deps.recognizeText = [](const QByteArray &image) { return recognizeText(image); };
    // Recognition is heavy on memory; two at a time is plenty for copies made by hand.
    m_pool.setMaxThreadCount(2);
    m_pool.setThreadPriority(QThread::LowPriority);
}

PasteboardCapture::~PasteboardCapture()
{
    for (const auto &flag : std::as_const(m_mediaTasks))
        flag->store(true);
    m_pool.clear();
}

std::vector<ClipCaptureRule> PasteboardCapture::currentRules() const
{
    return ClipRulePreferences::currentRules(*m_deps.preferences);
}

void PasteboardCapture::captureCurrentContents()
{
    Pasteboard &pasteboard = *m_deps.pasteboard;

    std::optional<QString> sourceAppName;
    std::optional<QString> sourceAppBundleID;
    if (m_deps.frontApplication) {
        // Our own window is what the window system names when nothing else has the focus
        // (a copy from xclip, say); it did not make the copy.
        const auto app = m_deps.frontApplication();
        if (app && app->pid != QCoreApplication::applicationPid()) {
            if (!app->name.isEmpty())
                sourceAppName = app->name;
            sourceAppBundleID = app->desktopFileId;
        }
    }

    const ClipCaptureRuleContext appOnly(std::nullopt, std::nullopt, sourceAppName, sourceAppBundleID);
    if (ClipCaptureRule::anyEnabledRuleMatches(currentRules(), appOnly))
        return;

    if (auto files = readFileCapture(sourceAppName, sourceAppBundleID)) {
        const ClipRef clip = ingest(files->content, pasteboard.changedAt());
        if (clip && files->previewPath)
            scheduleFilePreview(clip, *files->previewPath);
        return;
    }

    const std::optional<QString> string = pasteboard.string();
    std::optional<QByteArray> imageData;
    std::optional<QString> imageType = pasteboard.availableType(imageTypesInOrder);
    if (imageType) {
        imageData = pasteboard.data(*imageType);
        if (imageData && (imageData->isEmpty() || !hasAcceptableImageSize(*imageData, *imageType)))
            imageData.reset();
    }

    if (!imageData) {
        const auto content = textContent(string, richTextPayload(), sourceAppName, sourceAppBundleID);
        if (content)
            ingest(*content, pasteboard.changedAt());
        return;
    }

    ClipCaptureRuleContext context(ClipKind::image, std::nullopt, sourceAppName, sourceAppBundleID);
    if (string && !string->trimmed().isEmpty()) {
        const QString trimmed = string->trimmed();
        if (isLikelyWebURL(trimmed))
            context.text = trimmed;
        else {
            context.kind = ClipKind::text;
            context.text = *string;
        }
    }

    if (*imageType == PasteboardType::png && imageData->size() <= maxImageBytes
        && imageData->startsWith(pngSignature)) {
        if (const ClipRef clip = storeImage(*imageData, std::nullopt, context))
            scheduleRecognizedText(*imageData, clip->contentHash());
        return;
    }
    scheduleImageConversion(*imageData, context);
}

std::optional<PasteboardCapture::FileCapture>
PasteboardCapture::readFileCapture(const std::optional<QString> &sourceAppName,
                                   const std::optional<QString> &sourceAppBundleID) const
{
    return fileCapture(m_deps.pasteboard->readFileURLs(), sourceAppName, sourceAppBundleID);
}

std::optional<PasteboardCapture::FileCapture>
PasteboardCapture::fileCapture(const QList<QUrl> &urls, const std::optional<QString> &sourceAppName,
                               const std::optional<QString> &sourceAppBundleID)
{
    if (urls.isEmpty())
        return std::nullopt;
    QStringList paths;
    for (const QUrl &url : urls) {
        const QString path = url.toLocalFile();
        if (path.contains(QLatin1Char('\n')) || path.contains(QLatin1Char('\r'))) {
            qCWarning(lcClipboard, "Not keeping a file copy: one of its paths has a line break in it");
            return std::nullopt;
        }
        paths.append(path);
    }

    FileCapture capture;
    capture.content.kind = ClipKind::file;
    capture.content.text = paths.join(QLatin1Char('\n'));
    capture.content.sourceAppName = sourceAppName;
    capture.content.sourceAppBundleID = sourceAppBundleID;
    if (paths.size() == 1) {
        const QString cleaned = QDir::cleanPath(paths.first());
        const QString name = QFileInfo(cleaned).fileName();
        capture.content.fileName = name.isEmpty() ? cleaned : name;
        if (PasteboardWriter::imageFileExtensions.contains(QFileInfo(cleaned).suffix().toLower()))
            capture.previewPath = cleaned;
    } else {
        capture.content.fileName = QStringLiteral("%1 files").arg(paths.size());
    }
    return capture;
}

bool PasteboardCapture::hasAcceptableImageSize(const QByteArray &data, const QString &type)
{
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    const QSize size = QImageReader(&buffer).size();
    // A PNG is kept as it is, so it must at least say what it is; other images are decoded anyway.
    if (!size.isValid())
        return type != PasteboardType::png;
    if (size.width() > maxImageSide || size.height() > maxImageSide
        || qint64(size.width()) * size.height() > maxImagePixels) {
        qCInfo(lcClipboard, "Not keeping a copied image of %d x %d pixels", size.width(), size.height());
        return false;
    }
    return true;
}

std::optional<QString> PasteboardCapture::preferredRichTextType(const QStringList &types)
{
    if (types.contains(PasteboardType::rtf))
        return PasteboardType::rtf;
    if (types.contains(PasteboardType::html))
        return PasteboardType::html;
    return std::nullopt;
}

std::optional<PasteboardCapture::RichTextPayload> PasteboardCapture::richTextPayload() const
{
    const auto type = preferredRichTextType(m_deps.pasteboard->types());
    if (!type)
        return std::nullopt;
    const auto data = m_deps.pasteboard->data(*type);
    if (!data || data->isEmpty())
        return std::nullopt;
    if (data->size() > maxRichTextBytes) {
        qCInfo(lcClipboard, "Dropping rich text of %lld bytes; keeping the plain text", qlonglong(data->size()));
        return std::nullopt;
    }
    return RichTextPayload{*data, *type};
}

bool PasteboardCapture::isLikelyWebURL(const QString &text)
{
    for (const QChar c : text)
        if (c.isSpace())
            return false;
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid())
        return false;
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        return false;
    return !url.host().isEmpty();
}

std::optional<CapturedContent> PasteboardCapture::textContent(const std::optional<QString> &string,
                                                              const std::optional<RichTextPayload> &rich,
                                                              const std::optional<QString> &sourceAppName,
                                                              const std::optional<QString> &sourceAppBundleID)
{
    if (!string)
        return std::nullopt;
    const QString trimmed = string->trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;

    CapturedContent content;
    content.sourceAppName = sourceAppName;
    content.sourceAppBundleID = sourceAppBundleID;
    if (isLikelyWebURL(trimmed)) {
        content.kind = ClipKind::url;
        content.text = CapturedContent::capText(trimmed);
        return content;
    }
    content.kind = ClipKind::text;
    content.text = CapturedContent::capText(*string);
    if (rich) {
        content.fileData = rich->data;
        content.fileTypeIdentifier = rich->type;
    }
    return content;
}

ClipRef PasteboardCapture::ingest(const CapturedContent &content, std::optional<QDateTime> madeAt)
{
    if (ClipCaptureRule::anyEnabledRuleMatches(currentRules(), ClipCaptureRuleContext(content)))
        return nullptr;
    ClipRef clip = m_deps.store->insertClip(content);
    if (!clip)
        return nullptr;
    m_deps.store->applySensitiveExpiry(clip, m_deps.clock());
    const QString source = content.sourceAppBundleID.value_or(content.sourceAppName.value_or(QString()));
    const CaptureFloodGuard::Verdict flood = m_flood.admit(source, clip->dedupID(), madeAt);
    if (flood.announce)
        qCInfo(lcCapture,
               "%s changes the clipboard faster than anyone copies: keeping one copy per %lld ms while it lasts",
               qPrintable(source.isEmpty() ? QStringLiteral("An unknown program") : source),
               static_cast<long long>(CaptureFloodGuard::slotMs));
    for (const QUuid &replaced : flood.replaced)
        if (const ClipRef older = m_deps.store->context().clipWithDedupID(replaced);
            older && older != clip && !older->isPinned() && !older->pinboard())
            m_deps.store->deleteClip(older);
    if (onItemCaptured)
        onItemCaptured(clip);
    return clip;
}

ClipRef PasteboardCapture::storeImage(const QByteArray &png, const std::optional<QString> &recognizedText,
                                      const ClipCaptureRuleContext &context)
{
    CapturedContent content;
    content.kind = context.kind.value_or(ClipKind::image);
    content.text = content.kind == ClipKind::file ? context.text : CapturedContent::capText(context.text);
    content.imageData = png;
    content.recognizedText = recognizedText;
    content.sourceAppName = context.sourceAppName;
    content.sourceAppBundleID = context.sourceAppBundleID;
    return ingest(content);
}

QUuid PasteboardCapture::addMediaTask(CancelFlag flag)
{
    const QUuid id = QUuid::createUuid();
    m_mediaTasks.insert(id, std::move(flag));
    return id;
}

void PasteboardCapture::removeMediaTask(const QUuid &id)
{
    m_mediaTasks.remove(id);
    Q_EMIT mediaTaskFinished();
}

void PasteboardCapture::scheduleImageConversion(const QByteArray &data, const ClipCaptureRuleContext &context)
{
    auto cancelled = std::make_shared<std::atomic_bool>(false);
    const QUuid id = addMediaTask(cancelled);
    QPointer<PasteboardCapture> self(this);
    m_pool.start([self, id, data, context, cancelled, recognize = m_deps.recognizeText] {
        auto finish = [&] { onMainThread(self, [id](PasteboardCapture *capture) { capture->removeMediaTask(id); }); };
        const QImage image = decodeFirstImage(data);
        const auto png = image.isNull() ? std::nullopt : pngData(image, maxImageBytes);
        if (!png) {
            qCCritical(lcClipboard, "Dropping image clip: decode/encode failed or image exceeds size cap");
            finish();
            return;
        }
        const std::optional<QString> text = recognize(*png);
        if (cancelled->load()) {
            finish();
            return;
        }
        onMainThread(
            self, [png = *png, text, context](PasteboardCapture *capture) { capture->storeImage(png, text, context); });
        finish();
    });
}

void PasteboardCapture::scheduleRecognizedText(const QByteArray &png, const QString &contentHash)
{
    auto cancelled = std::make_shared<std::atomic_bool>(false);
    const QUuid id = addMediaTask(cancelled);
    QPointer<PasteboardCapture> self(this);
    QPointer<ClipStore> store(m_deps.store);
    m_pool.start([self, store, id, png, contentHash, cancelled, recognize = m_deps.recognizeText] {
        const std::optional<QString> text = recognize(png);
        if (!cancelled->load()) {
            // The store takes the result even when the capture side has gone meanwhile.
            onMainThread(store, [contentHash, text](ClipStore *s) { s->updateRecognizedText(contentHash, text); });
        }
        onMainThread(self, [id](PasteboardCapture *capture) { capture->removeMediaTask(id); });
    });
}

void PasteboardCapture::scheduleFilePreview(const ClipRef &clip, const QString &previewPath)
{
    auto cancelled = std::make_shared<std::atomic_bool>(false);
    const QUuid id = addMediaTask(cancelled);
    QPointer<PasteboardCapture> self(this);
    const QString contentHash = clip->contentHash();
    m_pool.start([self, id, previewPath, contentHash, cancelled, recognize = m_deps.recognizeText] {
        auto finish = [&] { onMainThread(self, [id](PasteboardCapture *capture) { capture->removeMediaTask(id); }); };
        const auto thumbnail = thumbnailPNGData(previewPath, maxImageBytes);
        if (!thumbnail) {
            qCCritical(lcClipboard, "Dropping file preview: decode/encode failed or image exceeds size cap");
            finish();
            return;
        }
        const std::optional<QString> text = recognize(*thumbnail);
        if (!cancelled->load()) {
            onMainThread(self, [contentHash, thumbnail = *thumbnail, text](PasteboardCapture *capture) {
                capture->m_deps.store->updateFilePreview(contentHash, thumbnail, text);
            });
        }
        finish();
    });
}

} // namespace quillmere
