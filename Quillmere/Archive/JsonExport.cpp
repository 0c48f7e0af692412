#include "Quillmere/Archive/JsonExport.h"

#include "Quillmere/Archive/ArchiveRecords.h"
#include "Quillmere/Archive/JsonText.h"
#include "Quillmere/Model/ClipPresentation.h"
#include "Quillmere/Platform/Core/AtomicFile.h"
#include "Quillmere/Platform/Core/Json.h"

#include <QJsonArray>

namespace quillmere {

PageNameTable makePageNameTable(const std::vector<PageRef> &pages)
{
    PageNameTable table;
    for (const PageRef &page : pages)
        if (page)
            table.insert(page->persistentModelID().description(), page->displayName());
    return table;
}

std::optional<QString> exportedSourceAppName(const std::optional<QString> &name)
{
    return sourceDisplayName(name);
}

ClipExportRecord ClipExportRecord::from(const ClipItem &clip, const PageNameTable &pageNames)
{
    ClipExportRecord r;
    r.id = uuidText(clip.dedupID());
    r.createdAt = clip.createdAt();
    r.kind = rawValue(clip.kind());
    r.title = clip.customTitle();
    r.text = clip.text();
    r.recognizedText = clip.recognizedText();
    r.fileName = clip.fileName();
    r.sourceAppName = exportedSourceAppName(clip.sourceAppName());
    r.sourceAppBundleID = clip.sourceAppBundleID();
    r.isPinned = clip.isPinned();
    if (const PageRef page = clip.pinboard()) {
        const auto it = pageNames.constFind(page->persistentModelID().description());
        if (it != pageNames.cend())
            r.pageName = *it;
    }
    return r;
}

QJsonObject ClipExportRecord::toJson() const
{
    QJsonObject o;
    o.insert(QStringLiteral("id"), id);
    o.insert(QStringLiteral("createdAt"), archive::dateWithSeconds(createdAt));
    o.insert(QStringLiteral("kind"), kind);
    const std::pair<const char *, const std::optional<QString> *> optionals[] = {
        {"title", &title},
        {"text", &text},
        {"recognizedText", &recognizedText},
        {"fileName", &fileName},
        {"sourceAppName", &sourceAppName},
        {"sourceAppBundleID", &sourceAppBundleID},
        {"pageName", &pageName},
    };
    for (const auto &[key, value] : optionals)
        if (*value)
            o.insert(QLatin1String(key), **value);
    o.insert(QStringLiteral("isPinned"), isPinned);
    return o;
}

QuillmereExport QuillmereExport::make(const std::vector<ClipRef> &clips, const std::vector<PageRef> &pages,
                                      const QDateTime &exportedAt)
{
    QuillmereExport doc;
    doc.exportedAt = exportedAt;
    const PageNameTable names = makePageNameTable(pages);
    doc.clips.reserve(clips.size());
    // Temporary clips (one-time codes, passwords) expire within minutes; a plain file on disk
    // would keep them for good.
    for (const ClipRef &clip : clips)
        if (clip && !clip->expiresAt())
            doc.clips.push_back(ClipExportRecord::from(*clip, names));
    return doc;
}

QByteArray QuillmereExport::encoded() const
{
    QJsonArray items;
    for (const ClipExportRecord &clip : clips)
        items.append(clip.toJson());
    QJsonObject root;
    root.insert(QStringLiteral("exportedAt"), archive::dateWithSeconds(exportedAt));
    root.insert(QStringLiteral("clips"), items);
    return archive::jsonText(root, archive::JsonLayout::pretty);
}

namespace jsonexport {

bool exportWithSavePanel(const std::vector<ClipRef> &clips, const std::vector<PageRef> &pages,
                         const ExportInteraction &interaction)
{
    const std::optional<QString> path = interaction.choosePath ? interaction.choosePath() : std::nullopt;
    if (!path || path->isEmpty())
        return false;
    const QDateTime now = interaction.clock ? interaction.clock() : QDateTime::currentDateTimeUtc();
    const QByteArray bytes = QuillmereExport::make(clips, pages, now).encoded();
    QString errorText;
    if (!writeFileAtomically(*path, bytes, &errorText, FileAccess::document)) {
        if (interaction.showError)
            interaction.showError(QStringLiteral("The export couldn't be saved: %1").arg(errorText));
        return false;
    }
    return true;
}

} // namespace jsonexport
} // namespace quillmere
