#pragma once

#include <QString>
#include <optional>

namespace quillmere {

enum class ClipKind { text, url, image, file };

inline QString rawValue(ClipKind kind)
{
    switch (kind) {
    case ClipKind::text:
        return QStringLiteral("text");
    case ClipKind::url:
        return QStringLiteral("url");
    case ClipKind::image:
        return QStringLiteral("image");
    case ClipKind::file:
        return QStringLiteral("file");
    }
    return QStringLiteral("text");
}

// Exact, case-sensitive match of the four stored names.
inline std::optional<ClipKind> clipKindFromRaw(const QString &raw)
{
    if (raw == QLatin1String("text"))
        return ClipKind::text;
    if (raw == QLatin1String("url"))
        return ClipKind::url;
    if (raw == QLatin1String("image"))
        return ClipKind::image;
    if (raw == QLatin1String("file"))
        return ClipKind::file;
    return std::nullopt;
}

// A stored kind nobody knows is read as text.
inline ClipKind clipKindOrText(const QString &raw)
{
    return clipKindFromRaw(raw).value_or(ClipKind::text);
}

} // namespace quillmere
