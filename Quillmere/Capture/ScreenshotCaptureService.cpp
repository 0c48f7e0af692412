#include "Quillmere/Capture/ScreenshotCaptureService.h"
#include "Quillmere/Platform/Core/PreferenceKeys.h"

#include "Quillmere/Capture/ScreenshotToolRunner.h"
#include "Quillmere/Clipboard/PasteboardWriter.h"
#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Model/ImageHelpers.h"
#include "Quillmere/Platform/Core/InBackground.h"
#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Platform/Core/Preferences.h"
#include "Quillmere/Platform/TextRecognizer.h"

#include <QImage>
#include <QPointer>

namespace quillmere {
namespace {

const QByteArray pngSignature("\x89PNG\r\n\x1a\n", 8);

} // namespace

QString rawValue(ScreenshotClipboardOutput output)
{
    return output == ScreenshotClipboardOutput::shareLink ? QStringLiteral("shareLink") : QStringLiteral("screenshot");
}

ScreenshotClipboardOutput screenshotClipboardOutput(const Preferences &prefs)
{
    return prefs.string(PreferenceKeys::screenshotClipboardOutput) == QLatin1String("shareLink")
        ? ScreenshotClipboardOutput::shareLink
        : ScreenshotClipboardOutput::screenshot;
}

ScreenshotCaptureService::ScreenshotCaptureService(CaptureServiceContext context, QObject *parent)
    : QObject(parent), m_context(std::move(context))
{
    if (!m_context.recognizeText)
        m_context.recognizeText = [](const QByteArray &image) { return recognizeText(image); };
}

void ScreenshotCaptureService::start(bool interactive, quint64 generation)
{
    QPointer<ScreenshotCaptureService> self(this);
    const auto launch = m_context.tool->capture(
        interactive,
        [self, generation](std::optional<QByteArray> bytes) {
            if (self && bytes)
                self->handleCapturedImage(*bytes, generation);
        },
        [self](const QString &reason) {
            if (self)
                self->m_context.reportFailure(failureTitle, reason);
        });
    switch (launch.status) {
    case ScreenshotToolRunner::Launch::started:
        break;
    case ScreenshotToolRunner::Launch::refusedWhileSelecting:
        qCInfo(lcScreenshotCapture, "A screen selection is open already; the new capture is not started");
        break;
    case ScreenshotToolRunner::Launch::failed:
        qCCritical(lcScreenshotCapture, "Could not start screenshot capture: %s", qPrintable(launch.error));
        m_context.reportFailure(failureTitle, launch.reason());
        break;
    }
}

void ScreenshotCaptureService::copyToClipboard(const QByteArray &bytes)
{
    PasteboardContents contents;
    PasteboardWriter::addImageData(contents, bytes);
    PasteboardWriter(*m_context.pasteboard, *m_context.center).writeContents(contents, CopyFeedbackKind::standard);
}

void ScreenshotCaptureService::handleCapturedImage(const QByteArray &bytes, quint64 generation)
{
    if (m_generation.current < generation && generation <= m_generation.next)
        m_generation.current = generation;
    const ScreenshotClipboardOutput output = screenshotClipboardOutput(*m_context.preferences);
    if (output == ScreenshotClipboardOutput::screenshot && generation == m_generation.current)
        copyToClipboard(bytes);

    inBackground(
        this, [bytes] { return normalizedPNG(bytes, maxClipImageBytes); },
        [this, bytes, output, generation](std::optional<QByteArray> png) {
            if (png) {
                insertScreenshotClip(*png, output, generation);
                return;
            }
            qCCritical(lcScreenshotCapture, "Dropping screenshot clip: decode/encode failed or image exceeds size cap");
            if (output == ScreenshotClipboardOutput::shareLink) {
                if (generation == m_generation.current)
                    copyToClipboard(bytes);
            } else if (m_context.beep) {
                m_context.beep();
            }
        });
}

std::optional<QByteArray> ScreenshotCaptureService::normalizedPNG(const QByteArray &data, qint64 maxBytes)
{
    // Decoded in every case: a PNG that merely starts right (cut short, say) is no image to keep.
    QImage image;
    if (data.isEmpty() || !image.loadFromData(data) || image.isNull())
        return std::nullopt;
    if (data.size() <= maxBytes && data.startsWith(pngSignature))
        return data;
    return pngData(image, maxBytes);
}

void ScreenshotCaptureService::insertScreenshotClip(const QByteArray &png, ScreenshotClipboardOutput output,
                                                    quint64 generation)
{
    CapturedContent content;
    content.kind = ClipKind::image;
    content.imageData = png;
    content.sourceAppName = sourceAppName;
    if (!m_context.bundleIdentifier.isEmpty())
        content.sourceAppBundleID = m_context.bundleIdentifier;
    ClipStore &store = *m_context.store;
    const ClipRef clip = store.insertClip(content);
    if (!clip) {
        qCCritical(lcScreenshotCapture, "Screenshot clip insert failed or was filtered");
        if (output == ScreenshotClipboardOutput::shareLink && generation == m_generation.current)
            copyToClipboard(png);
        return;
    }
    store.applySensitiveExpiry(clip, store.now());
    const QString hash = clip->contentHash();
    QPointer<ClipStore> storeGuard(&store);
    m_context.recognizeInBackground(this, png, [storeGuard, hash](std::optional<QString> text) {
        if (storeGuard)
            storeGuard->updateRecognizedText(hash, text);
    });
    if (m_onCaptured)
        m_onCaptured(clip, output, generation);
}

} // namespace quillmere
