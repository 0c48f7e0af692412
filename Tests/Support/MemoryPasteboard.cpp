#include "Support/MemoryPasteboard.h"

namespace quillmere {

QStringList MemoryPasteboard::types() const
{
    QStringList list = m_contents.types();
    if (m_ownedByUs)
        list.append(ownerMimeType);
    return list;
}

std::optional<QByteArray> MemoryPasteboard::data(const QString &type) const
{
    return m_contents.data(type);
}

qint64 MemoryPasteboard::clearContents()
{
    m_contents = PasteboardContents{};
    m_ownedByUs = true;
    ++m_clearCount;
    return ++m_changeCount;
}

void MemoryPasteboard::writeContents(const PasteboardContents &contents)
{
    m_contents.merge(contents);
}

void MemoryPasteboard::simulateExternalCopy(const PasteboardContents &contents)
{
    m_contents = contents;
    m_ownedByUs = false;
    ++m_changeCount;
    Q_EMIT changed();
}

} // namespace quillmere
