#pragma once

#include "Quillmere/Model/ClipKind.h"

#include <QByteArray>
#include <QString>
#include <optional>

namespace quillmere {

// One capture before it is stored.
struct CapturedContent {
    ClipKind kind = ClipKind::text;
    std::optional<QString> text;
    std::optional<QByteArray> imageData;
    std::optional<QByteArray> fileData;
    std::optional<QString> fileName;
    std::optional<QString> fileTypeIdentifier;
    std::optional<QString> recognizedText;
    std::optional<QString> sourceAppName;
    std::optional<QString> sourceAppBundleID;

    static constexpr qsizetype maxTextBytes = 500000;

    // The longest prefix of whole characters (grapheme clusters) within 500,000 UTF-8 bytes.
    static std::optional<QString> capText(const std::optional<QString> &text);
    static QString capText(const QString &text, qsizetype maxBytes);

    // SHA-256 over the kind and the content fields; the source, recognised text and anything
    // filled in later stay out so that the hash addresses the clip through later updates.
    QString contentHash() const;

    static QString contentHash(ClipKind kind, const std::optional<QString> &text,
                               const std::optional<QByteArray> &imageData, const std::optional<QByteArray> &fileData,
                               const std::optional<QString> &fileName,
                               const std::optional<QString> &fileTypeIdentifier);
};

} // namespace quillmere
