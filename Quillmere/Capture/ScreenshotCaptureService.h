#pragma once

#include "Quillmere/Capture/CaptureServiceContext.h"
#include "Quillmere/Model/Records.h"

#include <QObject>
#include <functional>
#include <optional>

namespace quillmere {

// What a screenshot puts on the clipboard: the image at once, or later the uploaded link.
enum class ScreenshotClipboardOutput { screenshot, shareLink };
QString rawValue(ScreenshotClipboardOutput output);
// Exactly "shareLink" selects the link; anything else, or nothing, the image.
ScreenshotClipboardOutput screenshotClipboardOutput(const Preferences &prefs);

// `next`: the most recently started capture; `current`: the newest whose image has arrived,
// the only one that may touch the clipboard.
struct LatestCaptureGeneration {
    quint64 next = 0;
    quint64 current = 0;
};

// Area and full-screen screenshots through the screenshot tool: the image goes to the clipboard
// at once (when the user wants the image there), is stored as an image clip from
// "Quillmere Capture" once it is a PNG within 8 MiB, and has its text recognised afterwards.
class ScreenshotCaptureService : public QObject {
    Q_OBJECT
public:
    using Captured = std::function<void(const ClipRef &, ScreenshotClipboardOutput, quint64 generation)>;

    static inline const QString sourceAppName = QStringLiteral("Quillmere Capture");
    static inline const QString failureTitle = QStringLiteral("Couldn't take the screenshot");

    explicit ScreenshotCaptureService(CaptureServiceContext context, QObject *parent = nullptr);

    void setOnCaptured(Captured onCaptured) { m_onCaptured = std::move(onCaptured); }
    LatestCaptureGeneration &captureGeneration() { return m_generation; }

    void startAreaCapture(quint64 generation) { start(true, generation); }
    void startFullScreenCapture(quint64 generation) { start(false, generation); }
    void start(bool interactive, quint64 generation);

    void handleCapturedImage(const QByteArray &bytes, quint64 generation);
    // The bytes when they are a PNG within the cap that decodes; else the decoded image
    // re-encoded (halved until it fits); none when nothing decodes or nothing fits.
    static std::optional<QByteArray> normalizedPNG(const QByteArray &data, qint64 maxBytes);
    void insertScreenshotClip(const QByteArray &png, ScreenshotClipboardOutput output, quint64 generation);

private:
    void copyToClipboard(const QByteArray &bytes);

    CaptureServiceContext m_context;
    Captured m_onCaptured;
    LatestCaptureGeneration m_generation;
};

} // namespace quillmere
