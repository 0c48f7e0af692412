#include "Quillmere/Pages/DetectedEntity.h"

#include "Quillmere/Pages/EntityScanning.h"

#include <QSet>
#include <QUrl>
#include <algorithm>
#include <map>

namespace quillmere {

QString carrierName(ParcelCarrier carrier)
{
    switch (carrier) {
    case ParcelCarrier::ups:
        return QStringLiteral("UPS");
    case ParcelCarrier::usps:
        return QStringLiteral("USPS");
    case ParcelCarrier::fedex:
        return QStringLiteral("FedEx");
    case ParcelCarrier::dhl:
        return QStringLiteral("DHL");
    case ParcelCarrier::deutschePost:
        return QStringLiteral("Deutsche Post");
    case ParcelCarrier::royalMail:
        return QStringLiteral("Royal Mail");
    case ParcelCarrier::canadaPost:
        return QStringLiteral("Canada Post");
    case ParcelCarrier::laPoste:
        return QStringLiteral("La Poste");
    case ParcelCarrier::australiaPost:
        return QStringLiteral("Australia Post");
    case ParcelCarrier::amazon:
        return QStringLiteral("Amazon");
    }
    return {};
}

QString rawValue(DetectedEntity::Kind kind)
{
    switch (kind) {
    case DetectedEntity::Kind::link:
        return QStringLiteral("link");
    case DetectedEntity::Kind::email:
        return QStringLiteral("email");
    case DetectedEntity::Kind::phoneNumber:
        return QStringLiteral("phoneNumber");
    case DetectedEntity::Kind::address:
        return QStringLiteral("address");
    case DetectedEntity::Kind::color:
        return QStringLiteral("color");
    case DetectedEntity::Kind::trackingNumber:
        return QStringLiteral("trackingNumber");
    }
    return {};
}

QColor DetectedEntity::color() const
{
    if (kind != Kind::color || (value.size() != 7 && value.size() != 9))
        return {};
    QColor c = QColor::fromString(value.left(7));
    if (value.size() == 9)
        c.setAlpha(value.mid(7).toInt(nullptr, 16));
    return c;
}

namespace entityscan {

QString wordBefore(QStringView text, qsizetype end, qsizetype limit)
{
    qsizetype i = end;
    const qsizetype floor = std::max<qsizetype>(0, end - limit);
    while (i > floor && text[i - 1].isLetter())
        --i;
    return text.mid(i, end - i).toString().toLower();
}

bool keywordBefore(QStringView text, qsizetype pos, qsizetype span, std::initializer_list<const char *> words)
{
    const qsizetype from = std::max<qsizetype>(0, pos - span);
    const QStringView window = text.mid(from, pos - from);
    for (const char *word : words) {
        const QLatin1StringView w(word);
        for (qsizetype i = window.indexOf(w, 0, Qt::CaseInsensitive); i >= 0;
             i = window.indexOf(w, i + 1, Qt::CaseInsensitive)) {
            if (from + i == 0 || !text[from + i - 1].isLetter())
                return true;
        }
    }
    return false;
}

namespace {

bool isLinkChar(QChar c)
{
    if (c.isSpace() || c.category() == QChar::Other_Control)
        return false;
    switch (c.unicode()) {
    case '<':
    case '>':
    case '"':
    case '\'':
    case '`':
    case u'\u201C':
    case u'\u201D':
    case u'\u2018':
    case u'\u2019':
    case u'\u00AB':
    case u'\u00BB':
        return false;
    default:
        return true;
    }
}

// Punctuation that ends a sentence or encloses a link rather than belonging to it. A closing
// bracket stays when the link opened one, as in "wiki/Set_(mathematics)".
qsizetype trimLinkEnd(QStringView text, qsizetype start, qsizetype end)
{
    static constexpr char pairs[3][2] = {{'(', ')'}, {'[', ']'}, {'{', '}'}};
    int balance[3] = {0, 0, 0}; // closing minus opening
    for (qsizetype i = start; i < end; ++i) {
        for (int p = 0; p < 3; ++p) {
            if (text[i] == QLatin1Char(pairs[p][0]))
                --balance[p];
            else if (text[i] == QLatin1Char(pairs[p][1]))
                ++balance[p];
        }
    }
    while (end > start) {
        const QChar last = text[end - 1];
        bool trim = QStringLiteral(".,;:!?*").contains(last);
        for (int p = 0; p < 3 && !trim; ++p) {
            if (last == QLatin1Char(pairs[p][1]) && balance[p] > 0) {
                --balance[p];
                trim = true;
            }
        }
        if (!trim)
            break;
        --end;
    }
    return end;
}

bool startsWithAt(QStringView text, qsizetype i, QLatin1StringView prefix)
{
    return text.mid(i, prefix.size()).compare(prefix, Qt::CaseInsensitive) == 0;
}

bool isEmailLocalChar(QChar c)
{
    return isAsciiLetter(c) || isAsciiDigit(c) || QStringLiteral("._%+-").contains(c);
}

bool isEmailDomainChar(QChar c)
{
    return isAsciiLetter(c) || isAsciiDigit(c) || c == QLatin1Char('.') || c == QLatin1Char('-');
}

// File names written like addresses ("icon@2x.png") end in one of these, and no real domain does.
bool isFileExtension(QStringView tld)
{
    static const QSet<QString> extensions{
        QStringLiteral("png"),  QStringLiteral("jpg"),  QStringLiteral("jpeg"), QStringLiteral("gif"),
        QStringLiteral("svg"),  QStringLiteral("webp"), QStringLiteral("heic"), QStringLiteral("tif"),
        QStringLiteral("tiff"), QStringLiteral("bmp"),  QStringLiteral("pdf"),  QStringLiteral("json"),
        QStringLiteral("js"),   QStringLiteral("css"),  QStringLiteral("html"), QStringLiteral("txt")};
    return extensions.contains(tld.toString().toLower());
}

} // namespace

void findLinks(QStringView text, std::vector<Found> &out)
{
    static const QLatin1StringView http("http://"), https("https://"), www("www.");
    const qsizetype n = text.size();
    qsizetype i = 0;
    while (i < n) {
        const QChar c = text[i];
        const bool candidate =
            (c == QLatin1Char('h') || c == QLatin1Char('H') || c == QLatin1Char('w') || c == QLatin1Char('W'))
            && !isWordChar(at(text, i - 1));
        qsizetype prefix = 0;
        bool bare = false;
        if (candidate) {
            if (startsWithAt(text, i, https))
                prefix = https.size();
            else if (startsWithAt(text, i, http))
                prefix = http.size();
            else if (startsWithAt(text, i, www) && at(text, i - 1) != QLatin1Char('.')
                     && at(text, i - 1) != QLatin1Char('/') && at(text, i - 1) != QLatin1Char('@')) {
                prefix = www.size();
                bare = true;
            }
        }
        if (prefix == 0) {
            ++i;
            continue;
        }
        qsizetype end = i + prefix;
        while (end < n && isLinkChar(text[end]))
            ++end;
        end = trimLinkEnd(text, i + prefix, end);
        if (end > i + prefix) {
            const QString written = text.mid(i, end - i).toString();
            const QUrl url(bare ? QStringLiteral("https://") + written : written, QUrl::TolerantMode);
            const QString host = url.host();
            if (url.isValid() && !host.isEmpty() && (!bare || host.count(QLatin1Char('.')) >= 2))
                out.push_back({DetectedEntity::Kind::link, i, end, url.toString(QUrl::FullyEncoded), {}});
        }
        i = std::max(end, i + prefix);
    }
}

void findEmails(QStringView text, std::vector<Found> &out)
{
    const qsizetype n = text.size();
    // A local part never holds "@", so each character is walked over at most twice: once
    // leftwards from the "@" after it and once rightwards from the one before it.
    for (qsizetype sign = text.indexOf(QLatin1Char('@')); sign >= 0; sign = text.indexOf(QLatin1Char('@'), sign + 1)) {
        qsizetype start = sign;
        while (start > 0 && isEmailLocalChar(text[start - 1]))
            --start;
        while (start < sign && text[start] == QLatin1Char('.'))
            ++start;
        if (start == sign || isWordChar(at(text, start - 1)))
            continue;
        qsizetype end = sign + 1;
        while (end < n && isEmailDomainChar(text[end]))
            ++end;
        while (end > sign + 1 && (text[end - 1] == QLatin1Char('.') || text[end - 1] == QLatin1Char('-')))
            --end;
        // "host:path" is a copy location, not an address.
        const bool hostPath = at(text, end) == QLatin1Char(':') && !at(text, end + 1).isSpace() && end + 1 < n;
        if (isWordChar(at(text, end)) || hostPath)
            continue;
        const QStringView domain = text.mid(sign + 1, end - sign - 1);
        const auto labels = domain.split(QLatin1Char('.'));
        if (labels.size() < 2)
            continue;
        const bool wellFormed = std::all_of(labels.begin(), labels.end(), [](QStringView label) {
            return !label.isEmpty() && !label.startsWith(QLatin1Char('-')) && !label.endsWith(QLatin1Char('-'));
        });
        const QStringView tld = labels.back();
        if (!wellFormed || tld.size() < 2 || !std::all_of(tld.begin(), tld.end(), isAsciiLetter)
            || isFileExtension(tld))
            continue;
        out.push_back({DetectedEntity::Kind::email, start, end, text.mid(start, end - start).toString(), {}});
    }
}

} // namespace entityscan

std::vector<DetectedEntity> DetectedEntity::detect(const std::optional<QString> &text)
{
    if (!text || text->isEmpty())
        return {};
    QStringView scanned(*text);
    if (scanned.size() > maxScannedCharacters) {
        qsizetype cut = maxScannedCharacters;
        if (scanned[cut - 1].isHighSurrogate())
            --cut;
        scanned = scanned.left(cut);
    }

    // Earlier kinds claim their stretch of text first: an address inside a link is part of the
    // link, a parcel number is not also a phone number.
    using Scanner = void (*)(QStringView, std::vector<entityscan::Found> &);
    static constexpr Scanner scanners[] = {entityscan::findLinks,         entityscan::findEmails,
                                           entityscan::findParcelNumbers, entityscan::findColors,
                                           entityscan::findPhoneNumbers,  entityscan::findAddresses};
    std::map<qsizetype, qsizetype> claimed; // start -> end
    const auto overlaps = [&](qsizetype start, qsizetype end) {
        auto next = claimed.lower_bound(start);
        if (next != claimed.end() && next->first < end)
            return true;
        return next != claimed.begin() && std::prev(next)->second > start;
    };
    std::vector<entityscan::Found> kept;
    std::vector<entityscan::Found> found;
    for (Scanner scan : scanners) {
        found.clear();
        scan(scanned, found);
        for (entityscan::Found &f : found) {
            if (overlaps(f.start, f.end))
                continue;
            claimed.emplace(f.start, f.end);
            kept.push_back(std::move(f));
        }
    }
    std::sort(kept.begin(), kept.end(), [](const auto &a, const auto &b) { return a.start < b.start; });

    std::vector<DetectedEntity> entities;
    QSet<QString> seen;
    for (const entityscan::Found &f : kept) {
        const QString key = rawValue(f.kind) + QLatin1Char(':') + f.value;
        if (seen.contains(key))
            continue;
        seen.insert(key);
        entities.push_back(
            {f.kind, f.start, f.end - f.start, scanned.mid(f.start, f.end - f.start).toString(), f.value, f.carrier});
        if (int(entities.size()) == maxEntities)
            break;
    }
    return entities;
}

} // namespace quillmere
