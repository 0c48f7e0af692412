#include "Quillmere/Pages/EntityScanning.h"

#include <QColor>
#include <cmath>

namespace quillmere::entityscan {
namespace {

bool isHexDigit(QChar c)
{
    const char16_t u = c.unicode();
    return isAsciiDigit(c) || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F');
}

QString cssHex(const QColor &color)
{
    QString hex = color.name(QColor::HexRgb).toUpper();
    if (color.alpha() != 255)
        hex += QStringLiteral("%1").arg(color.alpha(), 2, 16, QLatin1Char('0')).toUpper();
    return hex;
}

// The last character before `pos` that is neither a blank nor a quote.
QChar previousSignificant(QStringView text, qsizetype pos)
{
    for (qsizetype i = pos - 1, stop = std::max<qsizetype>(0, pos - 8); i >= stop; --i) {
        const QChar c = text[i];
        if (!c.isSpace() && c != QLatin1Char('"') && c != QLatin1Char('\''))
            return c;
    }
    return {};
}

// "#" and 3, 4, 6 or 8 hex digits. Digits alone ("#123") are usually an issue or list number
// and short letter runs ("#bad", "#cafe") a tag: they count only where a value is being given
// ("color: #333", "fill=#000000").
std::optional<Found> hexColor(QStringView text, qsizetype hash)
{
    const QChar before = at(text, hash - 1);
    if (isWordChar(before) || before == QLatin1Char('&') || before == QLatin1Char('#'))
        return std::nullopt;
    qsizetype end = hash + 1;
    bool letter = false, digit = false;
    while (end < text.size() && end - hash <= 9 && isHexDigit(text[end])) {
        letter = letter || !isAsciiDigit(text[end]);
        digit = digit || isAsciiDigit(text[end]);
        ++end;
    }
    const qsizetype digits = end - hash - 1;
    if (isWordChar(at(text, end)) || (digits != 3 && digits != 4 && digits != 6 && digits != 8))
        return std::nullopt;
    if (!letter || (digits <= 4 && !digit)) {
        const QChar given = previousSignificant(text, hash);
        if (given != QLatin1Char(':') && given != QLatin1Char('='))
            return std::nullopt;
    }
    QString hex = text.mid(hash + 1, digits).toString();
    if (digits <= 4) {
        QString wide;
        for (QChar c : hex)
            wide += QString(2, c);
        hex = wide;
    }
    QColor color = QColor::fromString(QStringLiteral("#") + hex.left(6));
    if (hex.size() == 8)
        color.setAlpha(hex.mid(6).toInt(nullptr, 16));
    return Found{DetectedEntity::Kind::color, hash, end, cssHex(color), {}};
}

struct Component {
    double value = 0;
    bool percent = false;
    bool degrees = false;
};

// "rgb(", "rgba(", "hsl(" or "hsla(" with three numbers and an optional alpha, separated by
// commas or blanks and "/" before the alpha, within a short stretch of text.
std::optional<Found> functionalColor(QStringView text, qsizetype start)
{
    if (isWordChar(at(text, start - 1)))
        return std::nullopt;
    const QStringView rest = text.mid(start, 6);
    bool hsl = false;
    qsizetype pos;
    if (rest.startsWith(QLatin1String("rgba("), Qt::CaseInsensitive)
        || rest.startsWith(QLatin1String("hsla("), Qt::CaseInsensitive))
        pos = start + 5;
    else if (rest.startsWith(QLatin1String("rgb("), Qt::CaseInsensitive)
             || rest.startsWith(QLatin1String("hsl("), Qt::CaseInsensitive))
        pos = start + 4;
    else
        return std::nullopt;
    hsl = text[start].toLower() == QLatin1Char('h');

    std::vector<Component> parts;
    bool slash = false;
    const qsizetype limit = std::min(text.size(), start + 64);
    while (pos < limit) {
        while (pos < limit && (text[pos].isSpace() || text[pos] == QLatin1Char(',')))
            ++pos;
        if (pos < limit && text[pos] == QLatin1Char('/')) {
            if (slash || parts.size() != 3)
                return std::nullopt;
            slash = true;
            ++pos;
            continue;
        }
        if (pos < limit && text[pos] == QLatin1Char(')'))
            break;
        const qsizetype numberStart = pos;
        while (pos < limit && (isAsciiDigit(text[pos]) || text[pos] == QLatin1Char('.')))
            ++pos;
        if (pos == numberStart || parts.size() == 4)
            return std::nullopt;
        bool ok = false;
        Component c{text.mid(numberStart, pos - numberStart).toDouble(&ok)};
        if (!ok)
            return std::nullopt;
        if (at(text, pos) == QLatin1Char('%')) {
            c.percent = true;
            ++pos;
        } else if (text.mid(pos, 3).compare(QLatin1String("deg"), Qt::CaseInsensitive) == 0) {
            c.degrees = true;
            pos += 3;
        }
        parts.push_back(c);
    }
    if (at(text, pos) != QLatin1Char(')') || (parts.size() != 3 && parts.size() != 4) || (slash && parts.size() != 4))
        return std::nullopt;

    double alpha = 1;
    if (parts.size() == 4) {
        const Component a = parts[3];
        if (a.degrees || a.value > (a.percent ? 100 : 1))
            return std::nullopt;
        alpha = a.percent ? a.value / 100 : a.value;
    }
    QColor color;
    if (hsl) {
        if (parts[0].percent || !parts[1].percent || !parts[2].percent || parts[1].value > 100 || parts[2].value > 100)
            return std::nullopt;
        color = QColor::fromHslF(float(std::fmod(parts[0].value, 360.0) / 360.0), float(parts[1].value / 100),
                                 float(parts[2].value / 100), float(alpha));
    } else {
        float channel[3];
        for (int i = 0; i < 3; ++i) {
            const Component p = parts[i];
            if (p.degrees || p.value > (p.percent ? 100 : 255))
                return std::nullopt;
            channel[i] = float(p.percent ? p.value / 100 : p.value / 255);
        }
        color = QColor::fromRgbF(channel[0], channel[1], channel[2], float(alpha));
    }
    return Found{DetectedEntity::Kind::color, start, pos + 1, cssHex(color.toRgb()), {}};
}

} // namespace

void findColors(QStringView text, std::vector<Found> &out)
{
    const qsizetype n = text.size();
    qsizetype i = 0;
    while (i < n) {
        std::optional<Found> found;
        const char16_t c = text[i].unicode();
        if (c == '#')
            found = hexColor(text, i);
        else if (c == 'r' || c == 'R' || c == 'h' || c == 'H')
            found = functionalColor(text, i);
        if (found) {
            i = found->end;
            out.push_back(std::move(*found));
        } else {
            ++i;
        }
    }
}

} // namespace quillmere::entityscan
