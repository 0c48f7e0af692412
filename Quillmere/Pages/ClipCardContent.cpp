#include "Quillmere/Pages/ClipCardContent.h"

#include "Quillmere/Model/ClipPresentation.h"
#include "Quillmere/Model/Records.h"

#include <QFileInfo>
#include <QUrl>

namespace quillmere {
namespace {

// Makes `item`, a record that belongs to no store, hold just what the presentation rules read.
const ClipItem &detachedRecord(ClipItem &&item, const ClipSnapshot &clip)
{
    item.setKindRawValue(clip.kindRawValue);
    item.setText(clip.text);
    item.setCustomTitle(clip.customTitle);
    item.setFileName(clip.fileName);
    item.setRecognizedText(clip.recognizedText);
    return item;
}

QString trimmed(const std::optional<QString> &text)
{
    return text ? text->trimmed() : QString();
}

QString readableLink(const QUrl &url, const QString &fallback)
{
    if (!url.isValid() || url.host().isEmpty())
        return fallback;
    QString text = url.host() + url.path(QUrl::FullyDecoded);
    if (url.hasQuery())
        text += QLatin1Char('?') + url.query(QUrl::FullyDecoded);
    if (text.endsWith(QLatin1Char('/')))
        text.chop(1);
    return text;
}

} // namespace

SafePresentation safePresentation(const ClipSnapshot &clip)
{
    return safePresentation(detachedRecord(ClipItem(), clip));
}

QString entityScanText(const ClipSnapshot &clip)
{
    return entityScanText(detachedRecord(ClipItem(), clip));
}

ClipCardInputs ClipCardInputs::forClip(const ClipSnapshot &clip)
{
    const SafePresentation p = safePresentation(clip);
    ClipCardInputs inputs;
    inputs.item = clip;
    inputs.displayName = p.displayName;
    inputs.safePreview = p.safePreview;
    inputs.isSensitive = p.isSensitive;
    return inputs;
}

bool ClipCardInputs::operator==(const ClipCardInputs &o) const
{
    const ClipSnapshot &a = item, &b = o.item;
    const bool sameClip = a.id == b.id && a.kindRawValue == b.kindRawValue && a.text == b.text
        && a.customTitle == b.customTitle && a.fileName == b.fileName && a.linkTitle == b.linkTitle
        && a.recognizedText == b.recognizedText && a.sourceAppName == b.sourceAppName
        && a.sourceAppBundleID == b.sourceAppBundleID && a.isPinned == b.isPinned && a.pageID == b.pageID
        && a.hasImageData == b.hasImageData && a.contentHash == b.contentHash;
    return sameClip && displayName == o.displayName && safePreview == o.safePreview && isSensitive == o.isSensitive
        && isSelected == o.isSelected && quickPasteIndex == o.quickPasteIndex && dataRevision == o.dataRevision
        && page == o.page;
}

ClipCardText ClipCardText::of(const ClipCardInputs &in)
{
    const ClipSnapshot &clip = in.item;
    ClipCardText t;
    t.kindLabel = kindName(clip.kind());
    t.sourceName = sourceDisplayName(trimmed(clip.sourceAppName));
    const QString name = in.displayName.value_or(QString());
    if (in.isSensitive) {
        // The mask and the kind of secret, nothing more.
        t.title = name;
        t.body = in.safePreview;
        return t;
    }
    switch (clip.kind()) {
    case ClipKind::text:
        t.title = name;
        t.body = in.safePreview;
        break;
    case ClipKind::url: {
        const QUrl url(trimmed(clip.text));
        const QString linkTitle = trimmed(clip.linkTitle);
        t.title = !name.isEmpty() ? name : linkTitle;
        t.body = readableLink(url, in.safePreview);
        t.caption = url.host().isEmpty() ? QString() : url.host();
        if (t.title.isEmpty()) {
            t.title = t.body;
            t.body.clear();
        }
        break;
    }
    case ClipKind::image:
        t.title = name;
        t.body = trimmed(clip.recognizedText);
        t.wantsThumbnail = clip.hasImageData;
        break;
    case ClipKind::file: {
        const QString fileName = trimmed(clip.fileName);
        t.title = !name.isEmpty() ? name : in.safePreview;
        const QString suffix = QFileInfo(fileName).suffix().toUpper();
        t.caption = suffix.isEmpty() ? t.kindLabel : suffix + QStringLiteral(" file");
        t.wantsThumbnail = clip.hasImageData;
        break;
    }
    }
    return t;
}

} // namespace quillmere
