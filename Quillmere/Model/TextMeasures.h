#pragma once

#include <QString>
#include <QStringView>
#include <optional>

namespace quillmere {

// The size of the text in UTF-8, without encoding it.
inline qint64 utf8ByteCount(QStringView s)
{
    qint64 bytes = 0;
    for (qsizetype i = 0; i < s.size(); ++i) {
        const char16_t c = s[i].unicode();
        if (c < 0x80)
            bytes += 1;
        else if (c < 0x800)
            bytes += 2;
        else if (QChar::isHighSurrogate(c) && i + 1 < s.size() && QChar::isLowSurrogate(s[i + 1].unicode())) {
            bytes += 4;
            ++i;
        } else
            bytes += 3;
    }
    return bytes;
}

// The trimmed text, or none when nothing is left.
inline std::optional<QString> trimmedNonEmpty(const std::optional<QString> &text)
{
    if (!text)
        return std::nullopt;
    QString trimmed = text->trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;
    return trimmed;
}

} // namespace quillmere
