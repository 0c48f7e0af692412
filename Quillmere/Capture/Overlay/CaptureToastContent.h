#pragma once

#include "Quillmere/Model/Records.h"

#include <QByteArray>
#include <QImage>
#include <QString>
#include <optional>

namespace quillmere {

// What the toast shows for one clip: a glyph (symbol name), one line of text and, for images and
// files, a thumbnail made elsewhere.
struct CaptureToastContent {
    static constexpr int labelLimit = 48;
    static constexpr int thumbnailMaxPixels = 44;
    static constexpr int showForMs = 1800;
    static constexpr int topInsetWithoutNotch = 4;

    QString glyph;
    QString label;
    QImage thumbnail;

    static CaptureToastContent make(const ClipItem &clip, const QImage &thumbnail = {});
    // The bytes a thumbnail is made from; none for text, links, OCR and recordings.
    static std::optional<QByteArray> thumbnailData(const ClipItem &clip);
    // Decoded straight to at most `maxPixels` on the longest side; null when it does not decode.
    static QImage makeThumbnail(const QByteArray &data, int maxPixels = thumbnailMaxPixels);

    // Cuts in user-perceived characters: the first 47 and "…", or the first 24, "…" and the last 23.
    static QString cutAtEnd(const QString &text, int limit = labelLimit);
    static QString cutInMiddle(const QString &text, int limit = labelLimit);
};

} // namespace quillmere
