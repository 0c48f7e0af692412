#pragma once

#include "Quillmere/Model/TextMeasures.h"

#include "Quillmere/Model/CapturedContent.h"
#include "Quillmere/Model/Records.h"
#include "Quillmere/Model/SensitiveContent.h"

#include <QString>
#include <optional>
#include <vector>

namespace quillmere {

// What a card or a list may show of a clip without revealing a secret.
struct SafePresentation {
    // A custom title worth showing, else the label of a sensitive match, else none.
    std::optional<QString> displayName;
    // The masked secret for sensitive text, else the clip's display title.
    QString safePreview;
    bool isSensitive = false;

    bool operator==(const SafePresentation &) const = default;
};

SafePresentation safePresentation(const ClipItem &clip);

// The sensitive match of the clip's text (not its title or recognised text).
std::optional<SensitiveMatch> sensitiveMatch(const ClipItem &clip);

// By kind: the trimmed text's first 300 characters (or "Empty text"), "Image", the file name (or
// "File").
QString displayTitle(const ClipItem &clip);

// The trimmed custom title, unless it is empty or just repeats the trimmed text.
std::optional<QString> distinctCustomTitle(const ClipItem &clip);

// The text, then the recognised text, joined by a line feed.
QString entityScanText(const ClipItem &clip);

// What the clip stands for as text: its trimmed text, or for images and files the recognised
// text; none when that is blank.
std::optional<QString> primaryText(const ClipItem &clip);
// The same rule on a clip's stored fields.
std::optional<QString> primaryText(ClipKind kind, const std::optional<QString> &text,
                                   const std::optional<QString> &recognizedText);

// The primary texts of the clips that have one, in order, joined; none when no clip has one.
std::optional<QString> joinedPrimaryText(const std::vector<ClipRef> &clips, const QString &separator);

// Image and file bytes plus the UTF-8 size of the text and recognised text. Never loads a blob.
qint64 payloadByteCount(const ClipItem &clip);
qint64 payloadByteCount(const CapturedContent &content);

// A source name as the user reads it: the program's own sources ("Quillmere", "Quillmere Drop")
// carry the internal word in the store and show the product's name; other names pass unchanged.
QString sourceDisplayName(const QString &storedName);
std::optional<QString> sourceDisplayName(const std::optional<QString> &storedName);

// The kind as the interface names it ("Text", "Link", "Image", "File") and its symbol's name.
QString kindName(ClipKind kind);
QString kindSymbolName(ClipKind kind);

} // namespace quillmere
