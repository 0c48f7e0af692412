#pragma once

#include "Quillmere/Model/ClipPresentation.h"
#include "Quillmere/Panel/PanelTypes.h"

#include <QString>
#include <optional>

namespace quillmere {

// What one clip card is built with. Equal inputs draw the same card; a new `dataRevision`
// draws it again even when nothing else changed (a thumbnail or an application icon came in).
struct ClipCardInputs {
    ClipSnapshot item;
    std::optional<QString> displayName;
    QString safePreview;
    bool isSensitive = false;
    bool isSelected = false;
    // Shown on the card when present: Ctrl and the number one above it pastes the clip.
    std::optional<int> quickPasteIndex;
    int dataRevision = 0;
    // The Page the clip is on, for its mark.
    std::optional<PageSnapshot> page;

    // The three presentation fields filled in from the clip's safe presentation.
    static ClipCardInputs forClip(const ClipSnapshot &clip);

    bool operator==(const ClipCardInputs &other) const;
};

// The clip's safe presentation, worked out from its snapshot as the store would from its record.
SafePresentation safePresentation(const ClipSnapshot &clip);

// The text, then the recognised text, joined by a line feed: what entities are looked for in.
QString entityScanText(const ClipSnapshot &clip);

// The words a card shows, decided without a display.
struct ClipCardText {
    // Bold first line(s); may be empty.
    QString title;
    // The preview under it.
    QString body;
    // One dim line: a link's host, a file's type.
    QString caption;
    // "Text", "Link", "Image", "File".
    QString kindLabel;
    // The application the clip came from, when known.
    QString sourceName;
    // Whether a thumbnail may be shown: images, and files that carry an image, unless sensitive.
    bool wantsThumbnail = false;

    static ClipCardText of(const ClipCardInputs &inputs);
    bool operator==(const ClipCardText &) const = default;
};

} // namespace quillmere
