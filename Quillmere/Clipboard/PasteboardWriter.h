#pragma once

#include "Quillmere/Model/Records.h"
#include "Quillmere/Platform/Pasteboard.h"

#include <QDir>
#include <QString>
#include <optional>

namespace quillmere {

class NotificationCenter;

// Posted by every write of ours to a pasteboard, right after clearing it and before the
// content goes on; observers run synchronously inside the post.
inline const QString ownPasteboardWriteNotification = QStringLiteral("quillmere.ownPasteboardWrite");
inline const QString ownPasteboardWriteChangeCountKey = QStringLiteral("changeCount");
inline const QString ownPasteboardWriteFeedbackKey = QStringLiteral("feedback");

enum class CopyFeedbackKind { standard, uploadComplete };
QString rawValue(CopyFeedbackKind kind);

// Posts the own-write notice on the main thread. With a feedback kind the notice carries
// "feedback"; without one (the paste service) only "changeCount".
void postOwnPasteboardWrite(NotificationCenter &center, qint64 changeCount,
                            std::optional<CopyFeedbackKind> feedback = CopyFeedbackKind::standard);

// Turns stored clips back into pasteboard content. The content is worked out first; the
// pasteboard is cleared and the notice posted only when there is something to write.
class PasteboardWriter {
public:
    // What to put on the pasteboard for a file clip whose files are gone and whose stored copy
    // cannot be made: the paths as text, or nothing.
    enum class MissingFileFallback { pathText, nothing };

    static inline const QString temporaryFolderName = QStringLiteral("QuillmereFiles");
    static inline const QStringList richTextTypes{QStringLiteral("public.rtf"), QStringLiteral("public.html")};
    static inline const QStringList imageFileExtensions{
        QStringLiteral("png"),  QStringLiteral("jpg"),  QStringLiteral("jpeg"),
        QStringLiteral("heic"), QStringLiteral("webp"), QStringLiteral("tif"),
        QStringLiteral("tiff"), QStringLiteral("gif"),  QStringLiteral("bmp")};

    // `temporaryRoot`: where "QuillmereFiles" lives (the user's temporary directory by default).
    PasteboardWriter(Pasteboard &pasteboard, NotificationCenter &center, QString temporaryRoot = QDir::tempPath());

    // Writes the clip with feedback "standard". False, with the pasteboard untouched and no
    // notice, when the clip has nothing that can be written.
    bool writeClip(const ClipItem &clip);

    // Clears, posts the notice and writes `contents`; returns the change count of the write,
    // or nothing (and touches nothing) when `contents` is empty.
    std::optional<qint64> writeContents(const PasteboardContents &contents,
                                        std::optional<CopyFeedbackKind> feedback = CopyFeedbackKind::standard);

    // The content a clip becomes; nothing when there is nothing to write.
    std::optional<PasteboardContents> contentsForClip(const ClipItem &clip) const;
    std::optional<PasteboardContents> fileClipContents(const ClipItem &clip, MissingFileFallback fallback) const;

    // A copy of the clip's stored file in its own private folder under "QuillmereFiles"; nothing
    // when the clip has no stored bytes or usable name, or the copy cannot be written.
    std::optional<QUrl> temporaryFileURL(const ClipItem &clip) const;

    static bool isImageFileClip(const ClipItem &clip);
    // PNG bytes as they are, with TIFF offered beside them when the bytes decode.
    static void addImageData(PasteboardContents &contents, const QByteArray &imageData);

    Pasteboard &pasteboard() const { return m_pasteboard; }

private:
    Pasteboard &m_pasteboard;
    NotificationCenter &m_center;
    QString m_temporaryRoot;
};

} // namespace quillmere
