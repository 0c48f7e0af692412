#include "Quillmere/Pages/EntityScanning.h"

#include <QSet>

namespace quillmere::entityscan {
namespace {

// Addresses are read as pieces separated by line breaks or commas. A piece that ends in a
// postcode the way a country writes it (the anchor) closes an address; the street before it
// must carry a house number. Without a street nothing is taken: a town and postcode alone are
// a place, not an address.

constexpr qsizetype maxSegment = 80;

struct Segment {
    qsizetype start = 0; // trimmed
    qsizetype end = 0;
    QStringView text;
    QList<QStringView> tokens;
};

enum class Anchor { none, strong, weak };

struct AnchorMatch {
    Anchor strength = Anchor::none;
    bool codeOnly = false; // the town stands in the piece before
};

const QSet<QString> &usStates()
{
    static const QSet<QString> states = [] {
        QSet<QString> s;
        for (const char *code : {"AL", "AK", "AZ", "AR", "CA", "CO", "CT", "DE", "DC", "FL", "GA", "HI", "ID",
                                 "IL", "IN", "IA", "KS", "KY", "LA", "ME", "MD", "MA", "MI", "MN", "MS", "MO",
                                 "MT", "NE", "NV", "NH", "NJ", "NM", "NY", "NC", "ND", "OH", "OK", "OR", "PA",
                                 "PR", "RI", "SC", "SD", "TN", "TX", "UT", "VT", "VA", "WA", "WV", "WI", "WY"})
            s.insert(QLatin1String(code));
        return s;
    }();
    return states;
}

bool isDigits(QStringView t, qsizetype from = 0)
{
    return t.size() > from && std::all_of(t.begin() + from, t.end(), isAsciiDigit);
}

bool isUpperLetters(QStringView t)
{
    return !t.isEmpty() && std::all_of(t.begin(), t.end(), isAsciiUpper);
}

bool isZip(QStringView t)
{
    return (t.size() == 5 && isDigits(t))
        || (t.size() == 10 && isDigits(t.left(5)) && t[5] == QLatin1Char('-') && isDigits(t.mid(6)));
}

// "SW1A", "NW1", "M1", "EC1A", "DN55".
bool isUkOutward(QStringView t)
{
    if (t.size() < 2 || t.size() > 4 || !isAsciiUpper(t[0]))
        return false;
    qsizetype i = isAsciiUpper(t[1]) ? 2 : 1;
    if (i >= t.size() || !isAsciiDigit(t[i]))
        return false;
    ++i;
    if (i < t.size() && (isAsciiDigit(t[i]) || isAsciiUpper(t[i])))
        ++i;
    return i == t.size();
}

bool isUkInward(QStringView t)
{
    return t.size() == 3 && isAsciiDigit(t[0]) && isAsciiUpper(t[1]) && isAsciiUpper(t[2]);
}

bool isCanadianPart(QStringView t, bool first)
{
    if (t.size() != 3)
        return false;
    return first ? isAsciiUpper(t[0]) && isAsciiDigit(t[1]) && isAsciiUpper(t[2])
                 : isAsciiDigit(t[0]) && isAsciiUpper(t[1]) && isAsciiDigit(t[2]);
}

bool isTownWord(QStringView t)
{
    return !t.isEmpty() && std::all_of(t.begin(), t.end(), [](QChar c) {
        return c.isLetter() || c == QLatin1Char('-') || c == QLatin1Char('.') || c == QLatin1Char('\'');
    });
}

// One to five words of letters, the first capitalised: "Berlin", "Frankfurt am Main".
bool isTown(const QList<QStringView> &words)
{
    if (words.isEmpty() || words.size() > 5 || !words.front()[0].isUpper())
        return false;
    return std::all_of(words.begin(), words.end(), isTownWord);
}

bool hasStreetWord(const QList<QStringView> &tokens);

AnchorMatch anchorOf(const Segment &s)
{
    const auto &t = s.tokens;
    const qsizetype n = t.size();
    if (n == 0)
        return {};
    // United States "CA 94043", Australia "NSW 2000", Canada "ON M5H 2N2", United Kingdom "NW1 6XE".
    if (n >= 2) {
        const QStringView state = t[n - 2], code = t[n - 1];
        static const QSet<QString> auStates{QStringLiteral("NSW"), QStringLiteral("VIC"), QStringLiteral("QLD"),
                                            QStringLiteral("WA"),  QStringLiteral("SA"),  QStringLiteral("TAS"),
                                            QStringLiteral("ACT"), QStringLiteral("NT")};
        const bool us = usStates().contains(state.toString()) && isZip(code);
        const bool au = auStates.contains(state.toString()) && code.size() == 4 && isDigits(code);
        const bool uk = isUkOutward(state) && isUkInward(code);
        if (us || au || uk) {
            const QList<QStringView> town = t.mid(0, n - 2);
            if (town.isEmpty() || isTown(town))
                return {Anchor::strong, town.isEmpty()};
        }
    }
    if (n >= 3 && isCanadianPart(t[n - 2], true) && isCanadianPart(t[n - 1], false)) {
        static const QSet<QString> provinces{QStringLiteral("AB"), QStringLiteral("BC"), QStringLiteral("MB"),
                                             QStringLiteral("NB"), QStringLiteral("NL"), QStringLiteral("NS"),
                                             QStringLiteral("NT"), QStringLiteral("NU"), QStringLiteral("ON"),
                                             QStringLiteral("PE"), QStringLiteral("QC"), QStringLiteral("SK"),
                                             QStringLiteral("YT")};
        if (provinces.contains(t[n - 3].toString())) {
            const QList<QStringView> town = t.mid(0, n - 3);
            if (town.isEmpty() || isTown(town))
                return {Anchor::strong, town.isEmpty()};
        }
    }
    // Netherlands "1012 LG Amsterdam".
    if (n >= 3 && t[0].size() == 4 && isDigits(t[0]) && t[1].size() == 2 && isUpperLetters(t[1]) && isTown(t.mid(2)))
        return {Anchor::strong, false};
    // Most of Europe: "10117 Berlin", "D-10117 Berlin", "1010 Wien", "75001 Paris".
    if (n >= 2) {
        QStringView code = t[0];
        if (const qsizetype dash = code.indexOf(QLatin1Char('-'));
            dash > 0 && dash <= 2 && isUpperLetters(code.left(dash)))
            code = code.mid(dash + 1);
        // "1600 Amphitheatre Parkway" starts the same way but names a street.
        if ((code.size() == 4 || code.size() == 5) && isDigits(code) && isTown(t.mid(1)) && !hasStreetWord(t.mid(1)))
            return {Anchor::weak, false};
    }
    return {};
}

// "12", "221B", "12a", "1-3".
bool isHouseNumber(QStringView t)
{
    if (t.endsWith(QLatin1Char(',')))
        t.chop(1);
    qsizetype i = 0;
    while (i < t.size() && isAsciiDigit(t[i]))
        ++i;
    if (i == 0 || i > 5)
        return false;
    if (i == t.size())
        return true;
    if (t.size() == i + 1 && t[i].isLetter())
        return true;
    return t[i] == QLatin1Char('-') && isDigits(t, i + 1) && t.size() - i - 1 <= 5;
}

bool hasStreetWord(const QList<QStringView> &tokens)
{
    static const QSet<QString> words{
        QStringLiteral("street"),  QStringLiteral("st"),      QStringLiteral("road"),     QStringLiteral("rd"),
        QStringLiteral("avenue"),  QStringLiteral("ave"),     QStringLiteral("av"),       QStringLiteral("lane"),
        QStringLiteral("ln"),      QStringLiteral("drive"),   QStringLiteral("dr"),       QStringLiteral("boulevard"),
        QStringLiteral("blvd"),    QStringLiteral("way"),     QStringLiteral("court"),    QStringLiteral("ct"),
        QStringLiteral("place"),   QStringLiteral("pl"),      QStringLiteral("parkway"),  QStringLiteral("pkwy"),
        QStringLiteral("square"),  QStringLiteral("sq"),      QStringLiteral("terrace"),  QStringLiteral("highway"),
        QStringLiteral("hwy"),     QStringLiteral("close"),   QStringLiteral("crescent"), QStringLiteral("row"),
        QStringLiteral("rue"),     QStringLiteral("bd"),      QStringLiteral("chemin"),   QStringLiteral("allée"),
        QStringLiteral("quai"),    QStringLiteral("impasse"), QStringLiteral("route"),    QStringLiteral("via"),
        QStringLiteral("viale"),   QStringLiteral("piazza"),  QStringLiteral("corso"),    QStringLiteral("calle"),
        QStringLiteral("avenida"), QStringLiteral("plaza"),   QStringLiteral("paseo"),    QStringLiteral("carrer"),
        QStringLiteral("rua"),     QStringLiteral("straße"),  QStringLiteral("strasse"),  QStringLiteral("str"),
        QStringLiteral("weg"),     QStringLiteral("gasse"),   QStringLiteral("platz"),    QStringLiteral("allee"),
        QStringLiteral("straat"),  QStringLiteral("gracht"),  QStringLiteral("laan"),     QStringLiteral("plein"),
        QStringLiteral("kade")};
    // Streets written as one word: "Friedrichstraße", "Keizersgracht", "Schlossallee".
    static const char *const endings[] = {"straße", "strasse", "str.",   "weg",    "gasse", "platz", "allee", "damm",
                                          "ufer",   "ring",    "straat", "gracht", "laan",  "plein", "kade",  "dijk"};
    for (QStringView token : tokens) {
        QString word = token.toString().toLower();
        if (word.endsWith(QLatin1Char('.')) || word.endsWith(QLatin1Char(',')))
            word.chop(1);
        if (words.contains(word))
            return true;
        if (word.size() >= 6) {
            const QString raw = token.toString().toLower();
            for (const char *e : endings)
                if (raw.endsWith(QString::fromUtf8(e)) || word.endsWith(QString::fromUtf8(e)))
                    return true;
        }
    }
    return false;
}

bool isStreet(const Segment &s, bool strongAnchor)
{
    const auto &t = s.tokens;
    if (anchorOf(s).strength != Anchor::none)
        return false;
    if (t.size() < 2 || t.size() > 8 || s.text.contains(QLatin1Char('@')) || s.text.contains(QLatin1String("://")))
        return false;
    if (!isHouseNumber(t.front()) && !isHouseNumber(t.back()))
        return false;
    const bool named = std::any_of(t.begin(), t.end(), [](QStringView w) {
        return std::count_if(w.begin(), w.end(), [](QChar c) { return c.isLetter(); }) >= 2;
    });
    return named && (strongAnchor || hasStreetWord(t));
}

// The street of a piece, which may be the end of a sentence: "... at 221B Baker Street",
// "... in der Friedrichstraße 123", "... presso Via Roma 10".
std::optional<Segment> streetIn(const Segment &s, bool strongAnchor)
{
    if (isStreet(s, strongAnchor))
        return s;
    const auto &t = s.tokens;
    const qsizetype n = t.size();
    const auto tail = [&](qsizetype i) {
        Segment part = s;
        const qsizetype offset = t[i].data() - s.text.data();
        part.start += offset;
        part.text = s.text.mid(offset);
        part.tokens = t.mid(i);
        return part;
    };
    for (qsizetype i = n - 2; i >= std::max<qsizetype>(0, n - 6); --i)
        if (isHouseNumber(t[i]) && hasStreetWord(t.mid(i + 1)))
            return tail(i);
    if (n >= 2 && isHouseNumber(t[n - 1]))
        for (qsizetype i = n - 2; i >= std::max<qsizetype>(0, n - 4); --i)
            if (t[i][0].isUpper() && hasStreetWord(t.mid(i, 1)))
                return tail(i);
    return std::nullopt;
}

// "Suite 200", "Apt 4B", "Flat 2", "Unit 5", "PO Box 12".
bool isUnit(const Segment &s)
{
    static const QSet<QString> words{QStringLiteral("suite"), QStringLiteral("ste"),  QStringLiteral("apt"),
                                     QStringLiteral("unit"),  QStringLiteral("flat"), QStringLiteral("floor"),
                                     QStringLiteral("fl"),    QStringLiteral("po"),   QStringLiteral("room")};
    if (s.tokens.size() < 2 || s.tokens.size() > 4)
        return false;
    QString first = s.tokens.front().toString().toLower();
    if (first.endsWith(QLatin1Char('.')))
        first.chop(1);
    return words.contains(first) && isHouseNumber(s.tokens.back());
}

bool isTownOnly(const Segment &s)
{
    return isTown(s.tokens);
}

bool isCountry(const Segment &s)
{
    static const QSet<QString> countries{
        QStringLiteral("usa"),         QStringLiteral("u.s.a."),      QStringLiteral("united states"),
        QStringLiteral("us"),          QStringLiteral("uk"),          QStringLiteral("united kingdom"),
        QStringLiteral("england"),     QStringLiteral("scotland"),    QStringLiteral("wales"),
        QStringLiteral("germany"),     QStringLiteral("deutschland"), QStringLiteral("france"),
        QStringLiteral("netherlands"), QStringLiteral("nederland"),   QStringLiteral("the netherlands"),
        QStringLiteral("canada"),      QStringLiteral("australia"),   QStringLiteral("austria"),
        QStringLiteral("österreich"),  QStringLiteral("switzerland"), QStringLiteral("schweiz"),
        QStringLiteral("suisse"),      QStringLiteral("italy"),       QStringLiteral("italia"),
        QStringLiteral("spain"),       QStringLiteral("españa"),      QStringLiteral("belgium")};
    return countries.contains(s.text.toString().toLower());
}

std::vector<Segment> segmentsOf(QStringView text)
{
    std::vector<Segment> out;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        // Lines, commas, and the separators signatures and lists use.
        if (i < text.size() && !QStringLiteral("\n,;|\u00B7\u2013\u2014").contains(text[i]))
            continue;
        qsizetype a = start, b = i;
        const auto loose = [](QChar c) { return c.isSpace() || QStringLiteral("\"'{}[]").contains(c); };
        while (a < b && loose(text[a]))
            ++a;
        // A sentence may end right after the postcode.
        while (b > a && (loose(text[b - 1]) || text[b - 1] == QLatin1Char('.')))
            --b;
        Segment s{a, b, text.mid(a, b - a), {}};
        // "Address: 1 Main St" reads from after the label.
        if (const qsizetype colon = s.text.lastIndexOf(QLatin1String(": ")); colon > 0) {
            s.start += colon + 2;
            while (s.start < s.end && loose(text[s.start]))
                ++s.start;
            s.text = text.mid(s.start, s.end - s.start);
        }
        if (s.text.size() <= maxSegment)
            s.tokens = s.text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        out.push_back(std::move(s));
        start = i + 1;
    }
    return out;
}

} // namespace

void findAddresses(QStringView text, std::vector<Found> &out)
{
    const std::vector<Segment> segments = segmentsOf(text);
    const qsizetype count = qsizetype(segments.size());
    qsizetype firstFree = 0; // pieces before this belong to an address already
    for (qsizetype a = 0; a < count; ++a) {
        const AnchorMatch anchor = anchorOf(segments[a]);
        if (anchor.strength == Anchor::none)
            continue;
        const bool strong = anchor.strength == Anchor::strong;
        qsizetype j = a - 1;
        if (anchor.codeOnly && j >= firstFree && isTownOnly(segments[j]))
            --j;
        qsizetype first = a;
        std::optional<Segment> street;
        qsizetype streetIndex = -1;
        for (int taken = 0; taken < 2 && j >= firstFree; ++taken, --j) {
            if (std::optional<Segment> found = streetIn(segments[j], strong)) {
                street = found;
                first = streetIndex = j;
                // Only a whole piece can have more of the address before it.
                if (found->start != segments[j].start)
                    break;
            } else if (isUnit(segments[j])) {
                first = j;
            } else {
                break;
            }
        }
        if (!street)
            continue;
        qsizetype last = a;
        if (a + 1 < count && isCountry(segments[a + 1]))
            last = a + 1;
        QStringList parts;
        for (qsizetype k = first; k <= last; ++k)
            parts << (k == streetIndex ? street->text : segments[k].text).toString();
        const qsizetype start = first == streetIndex ? street->start : segments[first].start;
        out.push_back({DetectedEntity::Kind::address, start, segments[last].end, parts.join(QStringLiteral(", ")), {}});
        firstFree = last + 1;
        a = last;
    }
}

} // namespace quillmere::entityscan
