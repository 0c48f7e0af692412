#include "Quillmere/Capture/OCRAreaCaptureService.h"

#include "Quillmere/Capture/ScreenshotToolRunner.h"
#include "Quillmere/Clipboard/PasteboardWriter.h"
#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Platform/TextRecognizer.h"

#include <QPointer>

namespace quillmere {

OCRAreaCaptureService::OCRAreaCaptureService(CaptureServiceContext context, QObject *parent)
    : QObject(parent), m_context(std::move(context))
{
    if (!m_context.recognizeText)
        m_context.recognizeText = [](const QByteArray &image) { return recognizeText(image); };
}

void OCRAreaCaptureService::start()
{
    QPointer<OCRAreaCaptureService> self(this);
    const auto launch = m_context.tool->capture(
        true,
        [self](std::optional<QByteArray> bytes) {
            if (!self || !bytes)
                return;
            self->m_context.recognizeInBackground(self.data(), *bytes, [self](std::optional<QString> text) {
                if (self)
                    self->insertRecognizedText(text);
            });
        },
        [self](const QString &reason) {
            if (self)
                self->m_context.reportFailure(failureTitle, reason);
        });
    switch (launch.status) {
    case ScreenshotToolRunner::Launch::started:
        break;
    case ScreenshotToolRunner::Launch::refusedWhileSelecting:
        qCInfo(lcOcrCapture, "A screen selection is open already; the text capture is not started");
        break;
    case ScreenshotToolRunner::Launch::failed:
        qCCritical(lcOcrCapture, "Could not start OCR area capture: %s", qPrintable(launch.error));
        m_context.reportFailure(failureTitle, launch.reason());
        break;
    }
}

void OCRAreaCaptureService::insertRecognizedText(const std::optional<QString> &text)
{
    if (!text || text->isEmpty()) {
        if (m_context.beep)
            m_context.beep();
        return;
    }
    PasteboardContents contents;
    contents.setString(*text);
    PasteboardWriter(*m_context.pasteboard, *m_context.center).writeContents(contents, CopyFeedbackKind::standard);

    CapturedContent content;
    content.kind = ClipKind::text;
    content.text = CapturedContent::capText(text);
    content.sourceAppName = sourceAppName;
    if (!m_context.bundleIdentifier.isEmpty())
        content.sourceAppBundleID = m_context.bundleIdentifier;
    const ClipRef clip = m_context.store->insertClip(content);
    if (!clip) {
        qCCritical(lcOcrCapture, "OCR clip insert failed or was filtered");
        return;
    }
    if (m_onCaptured)
        m_onCaptured(clip);
}

} // namespace quillmere
