#pragma once

#include <QUrl>
#include <QtGlobal>

namespace quillmere {

class ClipItem;
class PasteboardWriter;

// Hands an upload's outcome to the pasteboard only while that upload is still the newest thing the
// user made: a newer capture, or anything copied since, keeps the link (or the fallback image)
// off the pasteboard.
class ShareLinkDelivery {
public:
    struct Claim {
        quint64 serial = 0;
        qint64 changeCount = 0;
    };

    explicit ShareLinkDelivery(PasteboardWriter &writer) : m_writer(writer) {}

    // Taken when an upload starts, after whatever the capture itself put on the pasteboard.
    // Every later claim supersedes this one.
    Claim claim();
    bool isCurrent(const Claim &claim) const;

    // The link as text, announced with the upload-complete feedback. False, with the pasteboard
    // untouched, when the claim is no longer current.
    bool deliverLink(const Claim &claim, const QUrl &link);
    // The capture itself, after a failed upload, under the same rule.
    bool deliverFallback(const Claim &claim, const ClipItem &clip);

private:
    PasteboardWriter &m_writer;
    quint64 m_latest = 0;
};

} // namespace quillmere
