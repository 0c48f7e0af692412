#include "Quillmere/Model/Records.h"

#include "Quillmere/Model/CapturedContent.h"
#include "Quillmere/Model/ModelContainer.h"

namespace quillmere {

void PersistentModel::touch()
{
    if (m_context)
        m_context->markDirty(this);
}

ClipItem::ClipItem()
    : m_createdAt(QDateTime::currentDateTimeUtc()), m_kindRawValue(QStringLiteral("text")), m_isPinned(false),
      m_dedupID(QUuid::createUuid()), m_isSavedToPage(false), m_payloadByteCount(0), m_captureOrder(0)
{
}

const QString &ClipItem::contentHash() const
{
    if (m_hashFromContent) {
        const HashFromContent &c = *m_hashFromContent;
        m_contentHash = CapturedContent::contentHash(clipKindOrText(c.kindRawValue), c.text, std::nullopt, std::nullopt,
                                                     c.fileName, c.fileTypeIdentifier);
        m_hashFromContent.reset();
    }
    return m_contentHash;
}

void ClipItem::setContentHash(const QString &hash)
{
    if (hash == contentHash())
        return;
    m_contentHash = hash;
    touch();
}

std::optional<QByteArray> ClipItem::imageData() const
{
    if (!m_image.m_loaded && modelContext())
        modelContext()->loadBlob(this, true);
    return m_image.m_data;
}

std::optional<QByteArray> ClipItem::fileData() const
{
    if (!m_file.m_loaded && modelContext())
        modelContext()->loadBlob(this, false);
    return m_file.m_data;
}

void ClipItem::setImageData(const std::optional<QByteArray> &data)
{
    m_image.m_data = data;
    m_image.m_loaded = true;
    m_image.m_size = data ? data->size() : -1;
    m_image.m_dirty = true;
    touch();
}

void ClipItem::setFileData(const std::optional<QByteArray> &data)
{
    m_file.m_data = data;
    m_file.m_loaded = true;
    m_file.m_size = data ? data->size() : -1;
    m_file.m_dirty = true;
    touch();
}

void ClipItem::setPinboard(const std::shared_ptr<Pinboard> &page)
{
    if (page == m_pinboard)
        return;
    m_pinboard = page;
    touch();
}

QString ClipItem::computeContentHash() const
{
    return CapturedContent::contentHash(kind(), text(), imageData(), fileData(), fileName(), fileTypeIdentifier());
}

Pinboard::Pinboard()
    : m_colorName(QStringLiteral("magenta")), m_iconName(QStringLiteral("square.grid.2x2")), m_sortOrder(0),
      m_createdAt(QDateTime::currentDateTimeUtc()), m_dedupID(QUuid::createUuid())
{
}

QString Pinboard::displayName() const
{
    return m_name.isEmpty() ? QStringLiteral("Untitled") : m_name;
}

std::vector<std::shared_ptr<ClipItem>> Pinboard::items() const
{
    return modelContext() ? modelContext()->itemsOf(this) : std::vector<std::shared_ptr<ClipItem>>{};
}

AppSettings::AppSettings()
    : m_historyLimitValue(0), m_updatedAt(QDateTime::currentDateTimeUtc()), m_recordID(QUuid::createUuid())
{
}

SourceAppBrand::SourceAppBrand() : m_updatedAt(QDateTime::currentDateTimeUtc()), m_recordID(QUuid::createUuid())
{
}

} // namespace quillmere
