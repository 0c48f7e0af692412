#pragma once

#include "Quillmere/Capture/CapturePresentation.h"
#include "Quillmere/Capture/CaptureUploads.h"
#include "Quillmere/Platform/Core/Clock.h"

#include <QByteArray>
#include <QImage>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <functional>
#include <memory>
#include <optional>

namespace quillmere {

class ClipStore;
class PasteboardWriter;

// What the card's buttons, its drag and its annotate action do to one clip, without drawing.
// A clip deleted since the card appeared is acted on no more: every action then only asks the
// card to close.
class CaptureCardActions {
public:
    static inline const QString annotationFolderName = QStringLiteral("QuillmereAnnotations");
    // A user sees it as the dropped file's folder.
    static inline const QString dragFolderName = QStringLiteral("Brindlewax dragged files");

    struct Dependencies {
        ClipStore *store = nullptr;
        PasteboardWriter *writer = nullptr;
        CaptureUploadContext uploads;
        // Keeps running uploads alive after the card is gone.
        QPointer<QObject> uploadOwner;
        // The desktop's opener; its answer is not waited for.
        std::function<bool(const QUrl &)> open;
        Clock clock = systemClock();
        // Where the annotate and drag folders are made: the temporary folder unless replaced.
        QString temporaryRoot;
    };

    enum class Outcome { stay, close };

    struct SaveRequest {
        QString title;         // "Save Recording" or "Save Screenshot"
        QString suggestedName; // a base name
        QString filter;
        QString sourcePath; // the recording, or empty
        QByteArray data;    // the screenshot's PNG, when no source path
    };

    struct DragPayload {
        QString filePath; // what goes out as a file URL
        QByteArray png;   // image/png besides, for images
    };

    CaptureCardActions(Dependencies deps, ClipRef clip, std::shared_ptr<CaptureOverlayUploadProgress> progress,
                       QImage image);

    const ClipRef &clip() const { return m_clip; }
    const QImage &image() const { return m_image; }
    // The card's thumbnail, once decoded.
    void setImage(const QImage &image) { m_image = image; }
    const std::shared_ptr<CaptureOverlayUploadProgress> &progress() const { return m_progress; }
    bool isGone() const;
    bool didSave() const { return m_didSave; }
    bool isPinned() const { return m_clip && m_clip->isPinned(); }
    // The upload button shows when uploads are configured or an upload belongs to the card.
    bool showsUploadButton() const;

    Outcome copy();
    Outcome togglePin();
    Outcome annotate();
    // Nothing when there is nothing to save (or the clip is gone).
    std::optional<SaveRequest> saveRequest() const;
    // Writes the request to `destination` atomically: a failure leaves what was there before. It
    // touches no card, so it may run on any thread.
    static bool write(const SaveRequest &request, const QString &destination);
    void markSaved() { m_didSave = true; }
    // A file clip's own file, or the image as a PNG in a private folder; nothing otherwise.
    std::optional<DragPayload> dragPayload() const;
    Outcome upload();

    // "Brindlewax-yyyy-MM-dd-HHmmss.png" in local time, from the capture's own time.
    static QString suggestedScreenshotFileName(const QDateTime &createdAt);

private:
    std::optional<QString> existingFilePath() const;
    QByteArray pngData() const;
    QString privateFolder(const QString &name) const;

    Dependencies m_deps;
    ClipRef m_clip;
    std::shared_ptr<CaptureOverlayUploadProgress> m_progress;
    QImage m_image;
    bool m_didSave = false;
};

} // namespace quillmere
