#pragma once

// Clips, palettes and artefact files for the card and tab tests.

#include "Quillmere/Pages/ClipCardContent.h"

#include <QDir>
#include <QFont>
#include <QImage>
#include <QPalette>
#include <QString>

namespace quillmere::test {

inline ClipSnapshot clipOf(ClipKind kind, qint64 row, std::optional<QString> text = std::nullopt)
{
    ClipSnapshot clip;
    clip.id = {QStringLiteral("ClipItem"), row};
    clip.kindRawValue = rawValue(kind);
    clip.text = std::move(text);
    clip.contentHash = QStringLiteral("hash-%1").arg(row);
    return clip;
}

inline QPalette panelPalette(bool dark)
{
    QPalette palette;
    palette.setColor(QPalette::Window, dark ? QColor(28, 28, 30) : QColor(236, 236, 238));
    palette.setColor(QPalette::WindowText, dark ? Qt::white : Qt::black);
    palette.setColor(QPalette::Highlight, dark ? QColor(10, 132, 255) : QColor(0, 122, 255));
    return palette;
}

inline QFont cardFont()
{
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(12);
    return font;
}

// Kept beside the test run for people to look at.
inline QString artefactPath(const QString &name)
{
    const QString dir = QDir::currentPath() + QStringLiteral("/artifacts/cards");
    QDir().mkpath(dir);
    return dir + QLatin1Char('/') + name;
}

} // namespace quillmere::test
