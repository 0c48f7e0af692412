#include "Quillmere/Pages/EntityScanning.h"

#include <QSet>

namespace quillmere::entityscan {
namespace {

// A run of digits inside a candidate number, perhaps in brackets: "(555)", "(0)".
struct Group {
    qsizetype start;   // first digit
    qsizetype end;     // after the last digit
    qsizetype spanEnd; // after the closing bracket, if any
    bool bracketed;
    QChar separatorBefore; // '-', '.', '/', ' ', or null when glued on
    int size() const { return int(end - start); }
};

constexpr int maxGroups = 8;

bool isBlank(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QChar(0x00A0);
}

// A number starting here would continue a word, a decimal, a path, an amount or a time.
bool startsInsideSomething(QStringView text, qsizetype start)
{
    const QChar before = at(text, start - 1);
    if (before.isNull())
        return false;
    if (isWordChar(before) || QStringLiteral(".,-/#$€£¥@=&_%+").contains(before))
        return true;
    return before == QLatin1Char(':') && isAsciiDigit(at(text, start - 2));
}

// Followed by more of a word, a decimal, a time, a range or a unit.
bool endsInsideSomething(QStringView text, qsizetype end)
{
    const QChar after = at(text, end);
    if (after.isNull())
        return false;
    if (isWordChar(after) || after == QLatin1Char('%') || after == QChar(0x00B0) || after == QLatin1Char('@'))
        return true;
    return QStringLiteral(".,:/-").contains(after) && isAsciiDigit(at(text, end + 1));
}

int groupValue(QStringView text, const Group &g)
{
    return text.mid(g.start, g.end - g.start).toInt();
}

// Day, month and year in either order, all three joined by the same "-", "." or "/".
bool isDateAt(QStringView text, const std::vector<Group> &groups, size_t i)
{
    const Group &a = groups[i], &b = groups[i + 1], &c = groups[i + 2];
    const QChar sep = b.separatorBefore;
    if (sep != c.separatorBefore || (sep != QLatin1Char('-') && sep != QLatin1Char('.') && sep != QLatin1Char('/')))
        return false;
    const auto dayOrMonth = [&](const Group &g) {
        return g.size() <= 2 && groupValue(text, g) >= 1 && groupValue(text, g) <= 31;
    };
    if (a.size() == 4)
        return dayOrMonth(b) && dayOrMonth(c);
    return dayOrMonth(a) && dayOrMonth(b) && (c.size() == 2 || c.size() == 4);
}

QString digitsOf(QStringView text, const std::vector<Group> &groups, size_t count)
{
    QString digits;
    for (size_t i = 0; i < count; ++i)
        digits += text.mid(groups[i].start, groups[i].end - groups[i].start);
    return digits;
}

bool isbn13(const QString &d)
{
    if (d.size() != 13 || !(d.startsWith(QLatin1String("978")) || d.startsWith(QLatin1String("979"))))
        return false;
    int sum = 0;
    for (int i = 0; i < 13; ++i)
        sum += d[i].digitValue() * (i % 2 ? 3 : 1);
    return sum % 10 == 0;
}

bool isbn10(const QString &d)
{
    if (d.size() != 10)
        return false;
    int sum = 0;
    for (int i = 0; i < 10; ++i)
        sum += d[i].digitValue() * (10 - i);
    return sum % 11 == 0;
}

// The North American plan: [1] area exchange line, 3-3-4, area and exchange not starting 0 or 1.
bool isNorthAmerican(QStringView text, const std::vector<Group> &g, size_t k)
{
    size_t first = 0;
    if (k == 4 && g[0].size() == 1 && text[g[0].start] == QLatin1Char('1') && !g[0].bracketed)
        first = 1;
    if (k - first != 3)
        return false;
    const Group &area = g[first], &exchange = g[first + 1], &line = g[first + 2];
    if (area.size() != 3 || exchange.size() != 3 || line.size() != 4 || exchange.bracketed || line.bracketed)
        return false;
    const auto leads = [&](const Group &x) { return text[x.start] >= QLatin1Char('2'); };
    if (!leads(area) || !leads(exchange))
        return false;
    for (size_t i = first + 1; i < first + 3; ++i)
        if (g[i].separatorBefore == QLatin1Char('/'))
            return false;
    return true;
}

// Whether the first `k` groups form a phone number. `international`: written with a leading
// "+"; `labelled`: introduced by "Tel:", "Phone", "Mobile" and the like.
bool accepts(QStringView text, const std::vector<Group> &g, size_t k, bool international, bool labelled)
{
    const QString digits = digitsOf(text, g, k);
    const int count = int(digits.size());
    if (count < 7 || count > 15)
        return false;
    for (size_t i = 0; i + 2 < k; ++i)
        if (isDateAt(text, g, i))
            return false;
    bool dotted = false;
    for (size_t i = 1; i < k; ++i)
        dotted = dotted || g[i].separatorBefore == QLatin1Char('.');
    if (dotted) {
        // Version numbers and addresses: "10.0.19045.2364", "192.168.1.20".
        if (k >= 4 && g[0].size() <= 3 && g[1].size() <= 3 && g[2].size() <= 3 && g[3].size() <= 3)
            return false;
        for (size_t i = 0; i < k; ++i)
            if (g[i].size() == 1)
                return false;
    }
    bool hyphens = k == 4;
    for (size_t i = 1; i < k; ++i)
        hyphens = hyphens && g[i].separatorBefore == QLatin1Char('-');
    if (isbn13(digits) || (hyphens && isbn10(digits)))
        return false;

    // Every group but a country code or a bracketed trunk "(0)" holds two digits or more.
    const auto shortGroups = [&](size_t from) {
        for (size_t i = from; i < k; ++i) {
            const bool trunk = g[i].bracketed && g[i].size() == 1 && text[g[i].start] == QLatin1Char('0');
            if (g[i].size() < 2 && !trunk)
                return true;
        }
        return false;
    };
    // After a country code the area may be one digit ("+33 1 23 45 67 89").
    if (international)
        return count >= 8 && !shortGroups(2);
    if (isNorthAmerican(text, g, k))
        return true;
    if (labelled)
        return !shortGroups(0);
    // A national number with its trunk "0", written in groups: "020 7946 0958", "030/1234567".
    return text[g[0].start] == QLatin1Char('0') && k >= 2 && count >= 9 && count <= 12 && !shortGroups(0);
}

// "Tel:", "Phone", "M:" and the like just before the number, on the same line.
bool isLabelled(QStringView text, qsizetype start)
{
    static const QSet<QString> labels{
        QStringLiteral("tel"),       QStringLiteral("phone"),    QStringLiteral("mobile"), QStringLiteral("mob"),
        QStringLiteral("cell"),      QStringLiteral("fax"),      QStringLiteral("call"),   QStringLiteral("ph"),
        QStringLiteral("telephone"), QStringLiteral("telefon"),  QStringLiteral("tél"),    QStringLiteral("téléphone"),
        QStringLiteral("handy"),     QStringLiteral("whatsapp"), QStringLiteral("office")};
    qsizetype i = start;
    bool colon = false;
    while (i > 0 && start - i < 4
           && (isBlank(text[i - 1]) || text[i - 1] == QLatin1Char(':') || text[i - 1] == QLatin1Char('.'))) {
        colon = colon || text[i - 1] == QLatin1Char(':');
        --i;
    }
    const QString word = wordBefore(text, i);
    if (word.isEmpty() || isWordChar(at(text, i - word.size() - 1)))
        return false;
    // Single letters only with a colon, as signatures write them: "T: ", "M: ".
    if (word.size() == 1)
        return colon && QStringLiteral("tmfp").contains(word);
    return labels.contains(word);
}

bool isIsbnContext(QStringView text, qsizetype start)
{
    return keywordBefore(text, start, 12, {"isbn"});
}

} // namespace

void findPhoneNumbers(QStringView text, std::vector<Found> &out)
{
    const qsizetype n = text.size();
    std::vector<Group> groups;
    qsizetype i = 0;
    while (i < n) {
        const QChar c = text[i];
        if (!isAsciiDigit(c) && c != QLatin1Char('+') && c != QLatin1Char('(')) {
            ++i;
            continue;
        }
        const qsizetype start = i;
        const bool international = c == QLatin1Char('+');
        qsizetype pos = international ? i + 1 : i;

        // Read up to maxGroups groups joined by single separators.
        groups.clear();
        QChar separator;
        while (int(groups.size()) < maxGroups) {
            const qsizetype groupStart = pos;
            const bool bracketed = at(text, pos) == QLatin1Char('(');
            if (bracketed)
                ++pos;
            const qsizetype digitsStart = pos;
            while (pos < n && isAsciiDigit(text[pos]))
                ++pos;
            const qsizetype digitsEnd = pos;
            if (digitsEnd == digitsStart || (bracketed && at(text, pos) != QLatin1Char(')'))) {
                pos = groupStart;
                break;
            }
            if (bracketed)
                ++pos;
            groups.push_back({digitsStart, digitsEnd, pos, bracketed, groups.empty() ? QChar() : separator});
            // The separator to the next group: blanks, at most one of "-./" and blanks again.
            const qsizetype sepStart = pos;
            qsizetype blanks = 0;
            while (pos < n && isBlank(text[pos]) && blanks < 2) {
                ++pos;
                ++blanks;
            }
            separator = blanks ? QLatin1Char(' ') : QChar();
            if (pos < n && QStringLiteral("-./").contains(text[pos])) {
                separator = text[pos];
                ++pos;
                for (qsizetype b = 0; b < 2 && pos < n && isBlank(text[pos]); ++b)
                    ++pos;
            }
            const QChar next = at(text, pos);
            if (!isAsciiDigit(next) && next != QLatin1Char('(')) {
                pos = sepStart;
                break;
            }
        }
        if (groups.empty()) {
            i = start + 1;
            continue;
        }
        const qsizetype runEnd = groups.back().spanEnd;
        if (startsInsideSomething(text, start)) {
            // Only this group belongs to whatever came before; the next may start a number.
            i = groups.front().spanEnd;
            continue;
        }
        const bool labelled = isLabelled(text, start);
        // "0049 30 1234567": the international prefix written as digits.
        const qsizetype lead = groups.front().start;
        const bool dialledAbroad = !international && groups.front().size() >= 3 && groups.front().size() <= 5
            && text[lead] == QLatin1Char('0') && text[lead + 1] == QLatin1Char('0')
            && text[lead + 2] != QLatin1Char('0');
        const bool isbn = isIsbnContext(text, start);
        bool matched = false;
        for (size_t k = groups.size(); k >= 1 && !isbn; --k) {
            const qsizetype end = groups[k - 1].spanEnd;
            if (endsInsideSomething(text, end))
                continue;
            if (dialledAbroad) {
                std::vector<Group> abroad(groups.begin(), groups.begin() + k);
                abroad[0].start += 2;
                if (!accepts(text, abroad, k, true, labelled))
                    continue;
            } else if (!accepts(text, groups, k, international, labelled)) {
                continue;
            }
            QString dial;
            for (size_t j = 0; j < k; ++j) {
                // A trunk "(0)" after the country code is not dialled from abroad.
                const bool trunk = (international || dialledAbroad) && j > 0 && groups[j].bracketed
                    && groups[j].size() == 1 && text[groups[j].start] == QLatin1Char('0');
                if (!trunk)
                    dial += text.mid(groups[j].start, groups[j].end - groups[j].start);
            }
            if (dialledAbroad)
                dial.replace(0, 2, QStringLiteral("+"));
            else if (international)
                dial.prepend(QLatin1Char('+'));
            out.push_back({DetectedEntity::Kind::phoneNumber, start, end, dial, {}});
            matched = true;
            i = end;
            break;
        }
        if (!matched)
            i = runEnd;
    }
}

} // namespace quillmere::entityscan
