#include "Quillmere/Capture/Upload/ShareLinkDelivery.h"

#include "Quillmere/Clipboard/PasteboardWriter.h"

namespace quillmere {

ShareLinkDelivery::Claim ShareLinkDelivery::claim()
{
    return {++m_latest, m_writer.pasteboard().changeCount()};
}

bool ShareLinkDelivery::isCurrent(const Claim &claim) const
{
    return claim.serial == m_latest && claim.changeCount == m_writer.pasteboard().changeCount();
}

bool ShareLinkDelivery::deliverLink(const Claim &claim, const QUrl &link)
{
    if (!isCurrent(claim))
        return false;
    PasteboardContents contents;
    contents.setString(link.toString(QUrl::FullyEncoded));
    return m_writer.writeContents(contents, CopyFeedbackKind::uploadComplete).has_value();
}

bool ShareLinkDelivery::deliverFallback(const Claim &claim, const ClipItem &clip)
{
    return isCurrent(claim) && m_writer.writeClip(clip);
}

} // namespace quillmere
