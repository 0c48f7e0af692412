#include "Quillmere/Model/ClipPresentation.h"

#include <QTextBoundaryFinder>

namespace quillmere {
namespace {

constexpr qsizetype kPreviewCharacters = 300;

// The end of the first `count` characters of `text`, or -1 when it has fewer.
qsizetype endOfCharacters(const QString &text, qsizetype count)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype end = 0;
    for (qsizetype i = 0; i < count; ++i) {
        end = finder.toNextBoundary();
        if (end < 0)
            return -1;
    }
    return end;
}

// The first `count` characters, never splitting one.
QString leftCharacters(const QString &text, qsizetype count)
{
    if (text.size() <= count)
        return text;
    // Breaking a long text into characters costs time in proportion to its whole length, and a
    // card asks for its title often: look at a stretch that usually holds enough characters. Its
    // own end is no boundary of the text, so a cut falling there means the stretch was too short.
    const qsizetype window = count * 4 + 64;
    if (window < text.size()) {
        const qsizetype end = endOfCharacters(text.left(window), count);
        if (end > 0 && end < window)
            return text.left(end);
    }
    const qsizetype end = endOfCharacters(text, count);
    return end < 0 ? text : text.left(end);
}

} // namespace

std::optional<SensitiveMatch> sensitiveMatch(const ClipItem &clip)
{
    if (!clip.text())
        return std::nullopt;
    return sensitiveMatch(*clip.text());
}

QString displayTitle(const ClipItem &clip)
{
    switch (clip.kind()) {
    case ClipKind::image:
        return QStringLiteral("Image");
    case ClipKind::file: {
        const auto name = trimmedNonEmpty(clip.fileName());
        return name ? *clip.fileName() : QStringLiteral("File");
    }
    case ClipKind::text:
    case ClipKind::url:
        break;
    }
    const auto text = trimmedNonEmpty(clip.text());
    return text ? leftCharacters(*text, kPreviewCharacters) : QStringLiteral("Empty text");
}

SafePresentation safePresentation(const ClipItem &clip)
{
    SafePresentation p;
    const auto match = sensitiveMatch(clip);
    p.isSensitive = match.has_value();
    p.displayName = distinctCustomTitle(clip);
    if (!p.displayName && match)
        p.displayName = match->label;
    p.safePreview = match ? match->maskedPreview : displayTitle(clip);
    return p;
}

std::optional<QString> distinctCustomTitle(const ClipItem &clip)
{
    const auto title = trimmedNonEmpty(clip.customTitle());
    if (!title)
        return std::nullopt;
    if (clip.text() && clip.text()->trimmed() == *title)
        return std::nullopt;
    return title;
}

QString entityScanText(const ClipItem &clip)
{
    QStringList parts;
    if (clip.text() && !clip.text()->isEmpty())
        parts << *clip.text();
    if (clip.recognizedText() && !clip.recognizedText()->isEmpty())
        parts << *clip.recognizedText();
    return parts.join(QLatin1Char('\n'));
}

std::optional<QString> primaryText(ClipKind kind, const std::optional<QString> &text,
                                   const std::optional<QString> &recognizedText)
{
    switch (kind) {
    case ClipKind::image:
    case ClipKind::file:
        return trimmedNonEmpty(recognizedText);
    case ClipKind::text:
    case ClipKind::url:
        break;
    }
    return trimmedNonEmpty(text);
}

std::optional<QString> primaryText(const ClipItem &clip)
{
    return primaryText(clip.kind(), clip.text(), clip.recognizedText());
}

std::optional<QString> joinedPrimaryText(const std::vector<ClipRef> &clips, const QString &separator)
{
    QStringList parts;
    for (const ClipRef &clip : clips)
        if (clip)
            if (auto text = primaryText(*clip))
                parts << *text;
    if (parts.isEmpty())
        return std::nullopt;
    return parts.join(separator);
}

qint64 payloadByteCount(const ClipItem &clip)
{
    return clip.imageDataSize() + clip.fileDataSize() + utf8ByteCount(clip.text().value_or(QString()))
        + utf8ByteCount(clip.recognizedText().value_or(QString()));
}

qint64 payloadByteCount(const CapturedContent &content)
{
    return (content.imageData ? content.imageData->size() : 0) + (content.fileData ? content.fileData->size() : 0)
        + utf8ByteCount(content.text.value_or(QString())) + utf8ByteCount(content.recognizedText.value_or(QString()));
}

QString kindName(ClipKind kind)
{
    switch (kind) {
    case ClipKind::text:
        return QStringLiteral("Text");
    case ClipKind::url:
        return QStringLiteral("Link");
    case ClipKind::image:
        return QStringLiteral("Image");
    case ClipKind::file:
        return QStringLiteral("File");
    }
    return QStringLiteral("Text");
}

QString kindSymbolName(ClipKind kind)
{
    switch (kind) {
    case ClipKind::text:
        return QStringLiteral("text.alignleft");
    case ClipKind::url:
        return QStringLiteral("link");
    case ClipKind::image:
        return QStringLiteral("photo");
    case ClipKind::file:
        return QStringLiteral("doc");
    }
    return QStringLiteral("text.alignleft");
}

QString sourceDisplayName(const QString &storedName)
{
    static const QString internal = QStringLiteral("Quillmere");
    if (storedName == internal)
        return QStringLiteral("Brindlewax");
    if (storedName.startsWith(internal + u' '))
        return QStringLiteral("Brindlewax") + storedName.mid(internal.size());
    return storedName;
}

std::optional<QString> sourceDisplayName(const std::optional<QString> &storedName)
{
    if (!storedName)
        return std::nullopt;
    return sourceDisplayName(*storedName);
}

} // namespace quillmere
