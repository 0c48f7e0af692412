#include "Quillmere/Clipboard/ClipTextTransform.h"

#include "Quillmere/Clipboard/IcuText.h"
#include "Quillmere/Model/Records.h"

#include <QRegularExpression>
#include <QSet>
#include <QStringDecoder>
#include <QUrl>
#include <unicode/brkiter.h>

namespace quillmere {
namespace {

const QString linkPattern = QStringLiteral(R"(https?://[^\s<>"']+)");
const QString emailPattern = QStringLiteral(R"([A-Z0-9._%+-]+@[A-Z0-9.-]+\.[A-Z]{2,})");
const QString linkTrailers = QStringLiteral(".,;:!?)");

bool isTrackingName(const QString &rawName)
{
    static const QSet<QString> names = {
        QStringLiteral("_hsenc"),  QStringLiteral("_hsmi"),       QStringLiteral("dclid"),
        QStringLiteral("fbclid"),  QStringLiteral("gclid"),       QStringLiteral("igshid"),
        QStringLiteral("mc_cid"),  QStringLiteral("mc_eid"),      QStringLiteral("mkt_tok"),
        QStringLiteral("msclkid"), QStringLiteral("oly_anon_id"), QStringLiteral("oly_enc_id"),
        QStringLiteral("vero_id"), QStringLiteral("wickedid"),
    };
    // Compare the name as a reader sees it: "%20gclid" is " gclid".
    const QString name = QUrl::fromPercentEncoding(rawName.toUtf8()).trimmed().toLower();
    return name.startsWith(QLatin1String("utm_")) || names.contains(name);
}

// ---- JSON ----------------------------------------------------------------------------------

// Re-indents JSON without converting any value: keys keep their order, numbers keep their digits
// and strings keep their escapes. Validates strictly while it goes.
class JsonPrettyPrinter {
public:
    explicit JsonPrettyPrinter(const QString &text) : m_s(text) {}

    std::optional<QString> run()
    {
        skipSpace();
        if (!atAny(u"{["))
            return std::nullopt;
        if (!value())
            return std::nullopt;
        while (true) {
            skipSpace();
            if (m_stack.empty())
                break;
            if (!afterValue())
                return std::nullopt;
        }
        if (m_pos != m_s.size())
            return std::nullopt;
        return m_out;
    }

private:
    static constexpr size_t maxDepth = 512;
    enum class Frame { object, array };

    bool atEnd() const { return m_pos >= m_s.size(); }
    char16_t peek() const { return atEnd() ? 0 : m_s.at(m_pos).unicode(); }
    bool atAny(const char16_t *set) const
    {
        const char16_t c = peek();
        for (; c && *set; ++set) {
            if (*set == c)
                return true;
        }
        return false;
    }
    void skipSpace()
    {
        while (atAny(u" \t\n\r"))
            ++m_pos;
    }
    void newline()
    {
        m_out += QLatin1Char('\n');
        m_out += QString(qsizetype(m_stack.size()) * 2, QLatin1Char(' '));
    }

    // One value; containers are opened here and closed by afterValue().
    bool value()
    {
        skipSpace();
        const char16_t c = peek();
        if (c == u'{' || c == u'[') {
            const bool object = c == u'{';
            ++m_pos;
            skipSpace();
            if (peek() == (object ? u'}' : u']')) {
                ++m_pos;
                m_out += object ? QStringLiteral("{}") : QStringLiteral("[]");
                return true;
            }
            if (m_stack.size() >= maxDepth)
                return false;
            m_out += QChar(c);
            m_stack.push_back(object ? Frame::object : Frame::array);
            newline();
            return object ? member() : value();
        }
        if (c == u'"')
            return string();
        if (c == u'-' || (c >= u'0' && c <= u'9'))
            return number();
        for (const char *word : {"true", "false", "null"}) {
            const QLatin1String w(word);
            if (QStringView(m_s).mid(m_pos, w.size()) == w) {
                m_pos += w.size();
                m_out += w;
                return true;
            }
        }
        return false;
    }

    bool member()
    {
        skipSpace();
        if (peek() != u'"' || !string())
            return false;
        skipSpace();
        if (peek() != u':')
            return false;
        ++m_pos;
        m_out += QStringLiteral(": ");
        return value();
    }

    bool afterValue()
    {
        const Frame top = m_stack.back();
        const char16_t c = peek();
        if (c == u',') {
            ++m_pos;
            m_out += QLatin1Char(',');
            newline();
            return top == Frame::object ? member() : value();
        }
        if (c == (top == Frame::object ? u'}' : u']')) {
            ++m_pos;
            m_stack.pop_back();
            newline();
            m_out += QChar(c);
            return true;
        }
        return false;
    }

    static bool isHex(char16_t c)
    {
        return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
    }

    // The code unit of a "\uXXXX" escape at `at`, or -1.
    int escapedUnit(qsizetype at) const
    {
        if (at + 6 > m_s.size() || m_s.at(at) != QLatin1Char('\\') || m_s.at(at + 1) != QLatin1Char('u'))
            return -1;
        for (qsizetype k = at + 2; k < at + 6; ++k) {
            if (!isHex(m_s.at(k).unicode()))
                return -1;
        }
        return m_s.mid(at + 2, 4).toInt(nullptr, 16);
    }

    bool string()
    {
        const qsizetype start = m_pos++;
        while (!atEnd()) {
            const QChar c = m_s.at(m_pos);
            if (c == QLatin1Char('"')) {
                ++m_pos;
                m_out += QStringView(m_s).mid(start, m_pos - start);
                return true;
            }
            if (c.unicode() < 0x20)
                return false;
            if (c == QLatin1Char('\\')) {
                const char16_t e = m_pos + 1 < m_s.size() ? m_s.at(m_pos + 1).unicode() : 0;
                if (e == u'u') {
                    const int unit = escapedUnit(m_pos);
                    if (unit < 0 || QChar::isLowSurrogate(char32_t(unit)))
                        return false;
                    m_pos += 6;
                    // An escaped high surrogate only makes text when its low half follows.
                    if (QChar::isHighSurrogate(char32_t(unit))) {
                        const int low = escapedUnit(m_pos);
                        if (low < 0 || !QChar::isLowSurrogate(char32_t(low)))
                            return false;
                        m_pos += 6;
                    }
                    continue;
                }
                if (!e || !QStringView(u"\"\\/bfnrt").contains(QChar(e)))
                    return false;
                m_pos += 2;
                continue;
            }
            // Unpaired surrogates in the text itself cannot become UTF-8.
            if (c.isHighSurrogate()) {
                if (m_pos + 1 >= m_s.size() || !m_s.at(m_pos + 1).isLowSurrogate())
                    return false;
                m_pos += 2;
                continue;
            }
            if (c.isLowSurrogate())
                return false;
            ++m_pos;
        }
        return false;
    }

    bool digits()
    {
        const qsizetype from = m_pos;
        while (peek() >= u'0' && peek() <= u'9')
            ++m_pos;
        return m_pos > from;
    }

    bool number()
    {
        const qsizetype start = m_pos;
        if (peek() == u'-')
            ++m_pos;
        if (peek() == u'0')
            ++m_pos;
        else if (!digits())
            return false;
        if (peek() == u'.') {
            ++m_pos;
            if (!digits())
                return false;
        }
        if (peek() == u'e' || peek() == u'E') {
            ++m_pos;
            if (peek() == u'+' || peek() == u'-')
                ++m_pos;
            if (!digits())
                return false;
        }
        m_out += QStringView(m_s).mid(start, m_pos - start);
        return true;
    }

    const QString &m_s;
    qsizetype m_pos = 0;
    QString m_out;
    std::vector<Frame> m_stack;
};

// ---- Case changes --------------------------------------------------------------------------

// Each whitespace-separated word gets its first letter in title case and the rest in lower case,
// with the locale's rules (Turkish dotted i, Dutch ij, ...).
QString titleCased(const QString &text, const QLocale &locale)
{
    const icu::Locale icuLocale = icutext::locale(locale);
    QString out;
    out.reserve(text.size());
    qsizetype i = 0;
    while (i < text.size()) {
        qsizetype j = i;
        const bool space = text.at(i).isSpace();
        while (j < text.size() && text.at(j).isSpace() == space)
            ++j;
        const QString run = text.mid(i, j - i);
        if (space) {
            out += run;
        } else {
            icu::UnicodeString word = icutext::toIcu(run);
            word.toTitle(nullptr, icuLocale, U_TITLECASE_WHOLE_STRING);
            out += icutext::fromIcu(word);
        }
        i = j;
    }
    return out;
}

std::optional<QString> unlessSame(const QString &result, const QString &original)
{
    if (result == original)
        return std::nullopt;
    return result;
}

std::optional<QString> extract(const QString &text, const QRegularExpression &re)
{
    QStringList kept;
    QSet<QString> seen;
    for (auto it = re.globalMatch(text); it.hasNext();) {
        const QString found = it.next().captured(0);
        const QString key = found.toLower();
        if (seen.contains(key))
            continue;
        seen.insert(key);
        kept << found;
    }
    if (kept.isEmpty())
        return std::nullopt;
    return kept.join(QLatin1Char('\n'));
}

} // namespace

QString ClipTextTransform::rawValue(Case transform)
{
    switch (transform) {
    case copyText:
        return QStringLiteral("copyText");
    case cleanURL:
        return QStringLiteral("cleanURL");
    case prettyPrintJSON:
        return QStringLiteral("prettyPrintJSON");
    case decodeBase64:
        return QStringLiteral("decodeBase64");
    case extractLinks:
        return QStringLiteral("extractLinks");
    case extractEmails:
        return QStringLiteral("extractEmails");
    case uppercase:
        return QStringLiteral("uppercase");
    case lowercase:
        return QStringLiteral("lowercase");
    case titleCase:
        return QStringLiteral("titleCase");
    case trimmed:
        return QStringLiteral("trimmed");
    }
    return {};
}

std::optional<ClipTextTransform::Case> ClipTextTransform::fromRawValue(const QString &raw)
{
    for (Case c : allCases) {
        if (rawValue(c) == raw)
            return c;
    }
    return std::nullopt;
}

QString ClipTextTransform::title(Case transform)
{
    switch (transform) {
    case copyText:
        return QStringLiteral("Plain Text");
    case cleanURL:
        return QStringLiteral("Clean Links");
    case prettyPrintJSON:
        return QStringLiteral("Pretty JSON");
    case decodeBase64:
        return QStringLiteral("Decode Base64");
    case extractLinks:
        return QStringLiteral("Extract Links");
    case extractEmails:
        return QStringLiteral("Extract Emails");
    case uppercase:
        return QStringLiteral("Uppercase");
    case lowercase:
        return QStringLiteral("Lowercase");
    case titleCase:
        return QStringLiteral("Title Case");
    case trimmed:
        return QStringLiteral("Trimmed");
    }
    return {};
}

std::optional<QString> ClipTextTransform::sourceText(const ClipItem &clip)
{
    switch (clip.kind()) {
    case ClipKind::image:
    case ClipKind::file:
        return clip.recognizedText();
    case ClipKind::text:
    case ClipKind::url:
        return clip.text();
    }
    return clip.text();
}

std::optional<QString> ClipTextTransform::apply(Case transform, const QString &text, const QLocale &locale)
{
    const QString trimmedText = text.trimmed();
    if (trimmedText.isEmpty())
        return std::nullopt;
    switch (transform) {
    case copyText:
        return text;
    case cleanURL:
        return cleanLinks(text);
    case prettyPrintJSON:
        return prettyPrintedJSON(trimmedText);
    case decodeBase64:
        return decodedBase64(trimmedText);
    case extractLinks:
        return extract(text, QRegularExpression(linkPattern, QRegularExpression::UseUnicodePropertiesOption));
    case extractEmails:
        return extract(text,
                       QRegularExpression(emailPattern,
                                          QRegularExpression::UseUnicodePropertiesOption
                                              | QRegularExpression::CaseInsensitiveOption));
    case uppercase:
        return unlessSame(text.toUpper(), text);
    case lowercase:
        return unlessSame(text.toLower(), text);
    case titleCase:
        return unlessSame(titleCased(text, locale), text);
    case trimmed:
        return unlessSame(trimmedText, text);
    }
    return std::nullopt;
}

std::vector<ClipTextTransform::Case> ClipTextTransform::available(const std::optional<QString> &source,
                                                                  const QLocale &locale)
{
    std::vector<Case> out;
    if (!source || source->trimmed().isEmpty())
        return out;
    for (Case c : allCases) {
        if (apply(c, *source, locale))
            out.push_back(c);
    }
    return out;
}

std::vector<ClipTextTransform::Case> ClipTextTransform::available(const ClipItem &clip, const QLocale &locale)
{
    return available(sourceText(clip), locale);
}

std::optional<QString> ClipTextTransform::cleanLinks(const QString &text)
{
    const QRegularExpression re(linkPattern, QRegularExpression::UseUnicodePropertiesOption);
    if (!re.isValid())
        return std::nullopt;
    std::vector<QRegularExpressionMatch> matches;
    for (auto it = re.globalMatch(text); it.hasNext();)
        matches.push_back(it.next());
    if (matches.empty())
        return std::nullopt;

    QString out = text;
    bool changed = false;
    // Back to front, so the earlier offsets stay valid while the text changes.
    for (auto m = matches.rbegin(); m != matches.rend(); ++m) {
        QString link = m->captured(0);
        QString tail;
        while (!link.isEmpty() && linkTrailers.contains(link.back())) {
            tail.prepend(link.back());
            link.chop(1);
        }
        const std::optional<QString> cleaned = cleanLink(link);
        if (!cleaned || *cleaned == link)
            continue;
        out.replace(m->capturedStart(0), m->capturedLength(0), *cleaned + tail);
        changed = true;
    }
    if (!changed)
        return std::nullopt;
    return out;
}

std::optional<QString> ClipTextTransform::cleanLink(const QString &link)
{
    // Split by hand rather than through QUrl: the kept query items must stay byte for byte as the
    // user copied them ("%2B" stays "%2B", "+" stays "+").
    const qsizetype schemeEnd = link.indexOf(QLatin1String("://"));
    if (schemeEnd <= 0)
        return std::nullopt;
    const qsizetype authorityStart = schemeEnd + 3;
    qsizetype authorityEnd = authorityStart;
    while (authorityEnd < link.size() && !QStringView(u"/?#").contains(link.at(authorityEnd)))
        ++authorityEnd;
    QStringView hostPort = QStringView(link).mid(authorityStart, authorityEnd - authorityStart);
    if (const qsizetype at = hostPort.lastIndexOf(QLatin1Char('@')); at >= 0)
        hostPort = hostPort.mid(at + 1);
    QStringView host = hostPort;
    QStringView port;
    if (hostPort.startsWith(QLatin1Char('['))) {
        const qsizetype close = hostPort.indexOf(QLatin1Char(']'));
        if (close < 0)
            return std::nullopt;
        host = hostPort.left(close + 1);
        const QStringView rest = hostPort.mid(close + 1);
        if (!rest.isEmpty() && !rest.startsWith(QLatin1Char(':')))
            return std::nullopt;
        port = rest.mid(1);
    } else if (const qsizetype colon = hostPort.indexOf(QLatin1Char(':')); colon >= 0) {
        host = hostPort.left(colon);
        port = hostPort.mid(colon + 1);
    }
    if (host.isEmpty())
        return std::nullopt;
    for (QChar c : port) {
        if (!c.isDigit())
            return std::nullopt;
    }

    const qsizetype fragment = link.indexOf(QLatin1Char('#'), authorityEnd);
    const qsizetype queryMark = link.indexOf(QLatin1Char('?'), authorityEnd);
    if (queryMark < 0 || (fragment >= 0 && fragment < queryMark))
        return link;
    const qsizetype queryEnd = fragment >= 0 ? fragment : link.size();
    const QString query = link.mid(queryMark + 1, queryEnd - queryMark - 1);

    QStringList kept;
    bool removed = false;
    for (const QString &item : query.split(QLatin1Char('&'))) {
        if (isTrackingName(item.section(QLatin1Char('='), 0, 0)))
            removed = true;
        else
            kept << item;
    }
    if (!removed)
        return link;
    QString out = link.left(queryMark);
    if (!kept.isEmpty())
        out += QLatin1Char('?') + kept.join(QLatin1Char('&'));
    out += QStringView(link).mid(queryEnd);
    return out;
}

std::optional<QString> ClipTextTransform::prettyPrintedJSON(const QString &trimmedText)
{
    const std::optional<QString> out = JsonPrettyPrinter(trimmedText).run();
    if (!out || *out == trimmedText)
        return std::nullopt;
    return out;
}

std::optional<QString> ClipTextTransform::decodedBase64(const QString &trimmedText)
{
    QString compact;
    compact.reserve(trimmedText.size());
    for (QChar c : trimmedText) {
        if (!c.isSpace())
            compact += c;
    }
    if (compact.size() < 4)
        return std::nullopt;

    // Characters outside the alphabet are skipped; what is left must be whole, padded groups.
    QByteArray alphabet;
    alphabet.reserve(compact.size());
    for (QChar c : compact) {
        const char16_t u = c.unicode();
        if ((u >= u'A' && u <= u'Z') || (u >= u'a' && u <= u'z') || (u >= u'0' && u <= u'9') || u == u'+' || u == u'/'
            || u == u'=')
            alphabet += char(u);
    }
    if (alphabet.size() % 4 != 0)
        return std::nullopt;
    const qsizetype firstPad = alphabet.indexOf('=');
    if (firstPad >= 0
        && (firstPad < alphabet.size() - 2 || alphabet.mid(firstPad).count('=') != alphabet.size() - firstPad))
        return std::nullopt;
    const auto decoded = QByteArray::fromBase64Encoding(alphabet, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return std::nullopt;

    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8.decode(*decoded);
    if (utf8.hasError())
        return std::nullopt;
    // Binary that happens to be valid UTF-8 is still binary: refuse control characters.
    for (QChar c : text) {
        if (c.category() == QChar::Other_Control && c != QLatin1Char('\t') && c != QLatin1Char('\n')
            && c != QLatin1Char('\r'))
            return std::nullopt;
    }
    const QString decodedTrimmed = text.trimmed();
    if (decodedTrimmed.isEmpty() || decodedTrimmed == trimmedText)
        return std::nullopt;
    return text;
}

} // namespace quillmere
