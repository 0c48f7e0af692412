#include "Quillmere/Pages/EntityScanning.h"

#include <QHash>

namespace quillmere::entityscan {
namespace {

// How far back a carrier's name or a word like "tracking" may stand for a number that has no
// shape of its own (plain digits).
constexpr qsizetype keywordSpan = 80;

int digit(QChar c)
{
    return c.unicode() - '0';
}

// UPS "1Z" + 15 characters + check: letters count as (position in the alphabet + 2) mod 10,
// odd places once, even places twice.
bool upsCheck(const QString &n)
{
    int sum = 0;
    for (int i = 2; i < 17; ++i) {
        const QChar c = n[i];
        const int v = isAsciiDigit(c) ? digit(c) : (c.unicode() - 'A' + 2) % 10;
        sum += (i - 2) % 2 ? 2 * v : v;
    }
    return (10 - sum % 10) % 10 == digit(n[17]);
}

// The postal S10 number: two letters, eight digits weighted 8 6 4 2 3 5 9 7, a check digit,
// the country's two letters.
bool s10Check(const QString &n)
{
    static constexpr int weights[8] = {8, 6, 4, 2, 3, 5, 9, 7};
    int sum = 0;
    for (int i = 0; i < 8; ++i)
        sum += digit(n[2 + i]) * weights[i];
    int check = 11 - sum % 11;
    if (check == 10)
        check = 0;
    else if (check == 11)
        check = 5;
    return check == digit(n[10]);
}

// GS1 modulo 10: weights 3 and 1 from the right, starting with 3 next to the check digit.
bool mod10Check(const QString &n)
{
    int sum = 0;
    for (qsizetype i = n.size() - 2, w = 3; i >= 0; --i, w = 4 - w)
        sum += digit(n[i]) * int(w);
    return (10 - sum % 10) % 10 == digit(n.back());
}

// FedEx Express: eleven digits weighted 3 1 7 from the left, modulo 11, then modulo 10.
bool fedexCheck(const QString &n)
{
    static constexpr int weights[3] = {3, 1, 7};
    int sum = 0;
    for (int i = 0; i < 11; ++i)
        sum += digit(n[i]) * weights[i % 3];
    return sum % 11 % 10 == digit(n[11]);
}

// DHL Express air waybill: the first nine digits modulo 7.
bool dhlCheck(const QString &n)
{
    return n.left(9).toLongLong() % 7 == digit(n[9]);
}

std::optional<ParcelCarrier> postalCarrier(QStringView country)
{
    static const QHash<QString, ParcelCarrier> carriers{
        {QStringLiteral("US"), ParcelCarrier::usps},         {QStringLiteral("GB"), ParcelCarrier::royalMail},
        {QStringLiteral("DE"), ParcelCarrier::deutschePost}, {QStringLiteral("CA"), ParcelCarrier::canadaPost},
        {QStringLiteral("FR"), ParcelCarrier::laPoste},      {QStringLiteral("AU"), ParcelCarrier::australiaPost}};
    const auto it = carriers.constFind(country.toString());
    return it == carriers.constEnd() ? std::nullopt : std::optional(*it);
}

// Letters and digits that may be written in blocks ("1Z 999 AA1 01 2345 6784"): single blanks
// between blocks are dropped. Holds up to `maxLength` characters and where each one ends.
struct Blocks {
    QString compact;
    std::vector<qsizetype> ends;

    // The first `length` characters, when they are a whole token: what follows is neither
    // another letter or digit nor a further block.
    std::optional<qsizetype> wholeAt(QStringView text, int length) const
    {
        if (int(compact.size()) < length)
            return std::nullopt;
        const qsizetype end = ends[length - 1];
        const QChar next = at(text, end);
        if (isWordChar(next) || (next == QLatin1Char(' ') && isAsciiDigit(at(text, end + 1))))
            return std::nullopt;
        return end;
    }
};

Blocks readBlocks(QStringView text, qsizetype start, int maxLength)
{
    Blocks b;
    qsizetype pos = start;
    while (pos < text.size() && int(b.compact.size()) < maxLength) {
        const QChar c = text[pos];
        if (isAsciiLetter(c) || isAsciiDigit(c)) {
            b.compact += c.toUpper();
            b.ends.push_back(++pos);
        } else if (c == QLatin1Char(' ') && pos > start && isAsciiDigit(at(text, pos + 1))) {
            ++pos;
        } else {
            break;
        }
    }
    return b;
}

bool isTrackingContext(QStringView text, qsizetype pos)
{
    return keywordBefore(text, pos, keywordSpan,
                         {"tracking", "track", "shipment", "parcel", "package", "waybill", "awb", "sendung", "paket",
                          "suivi", "colis", "fedex", "dhl", "ups", "usps"});
}

std::optional<Found> parcelAt(QStringView text, qsizetype start)
{
    const QChar first = text[start];
    if (!isAsciiLetter(first) && !isAsciiDigit(first))
        return std::nullopt;

    const Blocks blocks = readBlocks(text, start, 22);
    const QString &n = blocks.compact;
    const auto found = [&](int length, ParcelCarrier carrier) {
        return Found{DetectedEntity::Kind::trackingNumber, start, *blocks.wholeAt(text, length), n.left(length),
                     carrier};
    };

    // Shapes that name their carrier: UPS, postal S10, Amazon.
    if (blocks.wholeAt(text, 18) && n.startsWith(QLatin1String("1Z")) && upsCheck(n))
        return found(18, ParcelCarrier::ups);
    if (const auto end = blocks.wholeAt(text, 13)) {
        const QStringView written = text.mid(start, *end - start);
        const bool upper = std::none_of(written.begin(), written.end(), [](QChar c) { return c.isLower(); });
        if (upper && isAsciiLetter(n[0]) && isAsciiLetter(n[1]) && isAsciiLetter(n[11]) && isAsciiLetter(n[12])
            && std::all_of(n.begin() + 2, n.begin() + 11, isAsciiDigit) && s10Check(n))
            if (const auto carrier = postalCarrier(QStringView(n).mid(11)))
                return found(13, *carrier);
    }
    if (blocks.wholeAt(text, 15) && n.startsWith(QLatin1String("TBA"))
        && std::all_of(n.begin() + 3, n.begin() + 15, isAsciiDigit))
        return found(15, ParcelCarrier::amazon);
    if (!isAsciiDigit(first))
        return std::nullopt;

    // Plain digits: USPS by its own prefix; FedEx and DHL only where the text speaks of parcels.
    const auto digits = [&](int length) {
        return blocks.wholeAt(text, length) && std::all_of(n.begin(), n.begin() + length, isAsciiDigit);
    };
    for (int length : {22, 20}) {
        if (digits(length) && n[0] == QLatin1Char('9') && n[1] >= QLatin1Char('1') && n[1] <= QLatin1Char('5')
            && mod10Check(n.left(length)))
            return found(length, ParcelCarrier::usps);
    }
    if (!(digits(10) || digits(12) || digits(15) || digits(20)) || !isTrackingContext(text, start))
        return std::nullopt;
    if (digits(20) && mod10Check(n.left(20)))
        return found(20, ParcelCarrier::usps);
    const bool saysDHL = keywordBefore(text, start, keywordSpan, {"dhl"});
    if (digits(15) && !saysDHL && mod10Check(n.left(15)))
        return found(15, ParcelCarrier::fedex);
    if (digits(12) && !saysDHL && fedexCheck(n))
        return found(12, ParcelCarrier::fedex);
    if (digits(10) && dhlCheck(n))
        return found(10, ParcelCarrier::dhl);
    return std::nullopt;
}

} // namespace

void findParcelNumbers(QStringView text, std::vector<Found> &out)
{
    const qsizetype n = text.size();
    qsizetype i = 0;
    while (i < n) {
        if (!isWordChar(at(text, i - 1)) && (isAsciiLetter(text[i]) || isAsciiDigit(text[i]))) {
            if (std::optional<Found> found = parcelAt(text, i)) {
                i = found->end;
                out.push_back(std::move(*found));
                continue;
            }
        }
        ++i;
    }
}

} // namespace quillmere::entityscan
