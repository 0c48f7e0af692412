#include "Quillmere/Clipboard/ClipboardOwnership.h"

#include "Quillmere/Clipboard/PasteboardWriter.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/Pasteboard.h"

namespace quillmere {

ClipboardOwnership::ClipboardOwnership(const Pasteboard &pasteboard, NotificationCenter &center, QObject *parent)
    : QObject(parent), m_pasteboard(pasteboard)
{
    // Writers post right after their own clear, so the count is the one their content will have.
    center.addObserver(ownPasteboardWriteNotification, this, [this](const Notification &note) {
        const QVariant value = note.userInfo.value(ownPasteboardWriteChangeCountKey);
        switch (value.typeId()) {
        case QMetaType::Int:
        case QMetaType::LongLong:
        case QMetaType::UInt:
        case QMetaType::ULongLong:
            m_lastOwnWrite = value.toLongLong();
            break;
        default:
            break;
        }
    });
}

bool ClipboardOwnership::isOwnContent() const
{
    return m_pasteboard.changeCount() == m_lastOwnWrite || m_pasteboard.ownsClipboard()
        || m_pasteboard.types().contains(ownerMimeType);
}

} // namespace quillmere
