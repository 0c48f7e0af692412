#pragma once

#include "Quillmere/Clipboard/CaptureFloodGuard.h"
#include "Quillmere/Model/CapturedContent.h"
#include "Quillmere/Model/ClipCaptureRules.h"
#include "Quillmere/Model/Records.h"
#include "Quillmere/Platform/Core/Clock.h"
#include "Quillmere/Platform/FrontApplication.h"

#include <QHash>
#include <QObject>
#include <QThreadPool>
#include <QUuid>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>

namespace quillmere {

class ClipStore;
class Pasteboard;
class Preferences;

// Image in, recognised text out; called off the main thread, possibly several at once.
using TextRecognition = std::function<std::optional<QString>(const QByteArray &)>;

struct CaptureDependencies {
    ClipStore *store = nullptr;
    Pasteboard *pasteboard = nullptr;
    Preferences *preferences = nullptr;
    // Left empty: the active X window's application, and Tesseract.
    FrontApplicationSource frontApplication;
    TextRecognition recognizeText;
    Clock clock = systemClock();
};

// Turns what is on the pasteboard into one capture and hands it to the store. Image conversion,
// previews and text recognition run in the background and reach the store later.
class PasteboardCapture : public QObject {
    Q_OBJECT
public:
    static constexpr qint64 maxImageBytes = 8388608;
    // An image whose header claims more than this is not kept: nothing could decode it to show it.
    static constexpr int maxImageSide = 16384;
    static constexpr qint64 maxImagePixels = 100000000;
    // Rich text beside the plain string is kept up to this size; bigger is dropped.
    static constexpr qint64 maxRichTextBytes = 8388608;
    static inline const QByteArray pngSignature = QByteArrayLiteral("\x89PNG\r\n\x1a\n");

    struct FileCapture {
        CapturedContent content;
        std::optional<QString> previewPath;
    };
    struct RichTextPayload {
        QByteArray data;
        QString type;
    };

    explicit PasteboardCapture(CaptureDependencies deps, QObject *parent = nullptr);
    ~PasteboardCapture() override;

    // Called by the monitor once a change may be captured.
    void captureCurrentContents();
    // The one hand-off to the store: rules again, insert, sensitive expiry, callback.
    ClipRef ingest(const CapturedContent &content, std::optional<QDateTime> madeAt = std::nullopt);

    std::function<void(const ClipRef &)> onItemCaptured;

    // Background work still running or not yet handed back.
    int pendingMediaTaskCount() const { return int(m_mediaTasks.size()); }

    static bool isLikelyWebURL(const QString &text);
    static std::optional<QString> preferredRichTextType(const QStringList &types);
    static std::optional<CapturedContent> textContent(const std::optional<QString> &string,
                                                      const std::optional<RichTextPayload> &rich,
                                                      const std::optional<QString> &sourceAppName,
                                                      const std::optional<QString> &sourceAppBundleID);
    // Files as one capture: their paths one per line, named after the file or "<n> files". A
    // path with a line break in it is no file capture at all: it would read back as two paths.
    static std::optional<FileCapture> fileCapture(const QList<QUrl> &urls, const std::optional<QString> &sourceAppName,
                                                  const std::optional<QString> &sourceAppBundleID);
    std::optional<FileCapture> readFileCapture(const std::optional<QString> &sourceAppName,
                                               const std::optional<QString> &sourceAppBundleID) const;
    std::optional<RichTextPayload> richTextPayload() const;
    // False when the image's header claims a size over the caps, or a PNG's header cannot be read.
    static bool hasAcceptableImageSize(const QByteArray &data, const QString &type);

Q_SIGNALS:
    // A background task ended, whatever its outcome.
    void mediaTaskFinished();

private:
    using CancelFlag = std::shared_ptr<std::atomic_bool>;

    ClipRef storeImage(const QByteArray &png, const std::optional<QString> &recognizedText,
                       const ClipCaptureRuleContext &context);
    void scheduleImageConversion(const QByteArray &data, const ClipCaptureRuleContext &context);
    void scheduleRecognizedText(const QByteArray &png, const QString &contentHash);
    void scheduleFilePreview(const ClipRef &clip, const QString &previewPath);

    QUuid addMediaTask(CancelFlag flag);
    void removeMediaTask(const QUuid &id);
    std::vector<ClipCaptureRule> currentRules() const;

    CaptureDependencies m_deps;
    CaptureFloodGuard m_flood{m_deps.clock};
    QHash<QUuid, CancelFlag> m_mediaTasks;
    QThreadPool m_pool;
};

} // namespace quillmere
