#include "Quillmere/Model/SensitiveContent.h"

#include <QDate>
#include <QRegularExpression>
#include <QSet>

namespace quillmere {
namespace {

using Kind = SensitiveMatch::Kind;

// Keys and tokens with an unmistakable form are looked for this far into a text; the looser
// heuristics only look at short texts, where a secret is the point of the copy.
constexpr qsizetype kKeyScanChars = 100000;
constexpr qsizetype kAssignmentTextChars = 2000;
constexpr qsizetype kCodeMessageChars = 300;
constexpr qsizetype kMaxTokenChars = 256;

const QRegularExpression &privateKeyPattern()
{
    static const QRegularExpression re(QStringLiteral(
        R"(-----BEGIN (?:(?:RSA|DSA|EC|OPENSSH|ENCRYPTED|PGP) )?PRIVATE KEY(?: BLOCK)?-----|PuTTY-User-Key-File-\d+:)"));
    return re;
}

// Tokens whose prefix names a provider's secret key or access token.
const QRegularExpression &knownTokenPattern()
{
    static const QRegularExpression re(
        QStringLiteral(R"((?<![A-Za-z0-9_\-])()"
                       R"(sk-(?:proj-|ant-|live-)?[A-Za-z0-9_\-]{20,})"
                       R"(|[sr]k_(?:live|test)_[A-Za-z0-9]{16,})"
                       R"(|gh[pousr]_[A-Za-z0-9]{30,})"
                       R"(|github_pat_[A-Za-z0-9_]{40,})"
                       R"(|glpat-[A-Za-z0-9_\-]{20,})"
                       R"(|xox[abposr]-[A-Za-z0-9\-]{10,})"
                       R"(|xapp-[A-Za-z0-9\-]{10,})"
                       R"(|(?:AKIA|ASIA)[0-9A-Z]{16})"
                       R"(|AIza[0-9A-Za-z_\-]{35})"
                       R"(|ya29\.[0-9A-Za-z_\-]{20,})"
                       R"(|SG\.[A-Za-z0-9_\-]{16,}\.[A-Za-z0-9_\-]{16,})"
                       R"(|npm_[A-Za-z0-9]{36})"
                       R"(|hf_[A-Za-z0-9]{30,})"
                       R"(|pypi-[A-Za-z0-9_\-]{50,})"
                       R"(|dop_v1_[a-f0-9]{64})"
                       R"(|eyJ[A-Za-z0-9_\-]{10,}\.eyJ[A-Za-z0-9_\-]{10,}\.[A-Za-z0-9_\-]{10,})"
                       R"()(?![A-Za-z0-9_\-]))"));
    return re;
}

const QRegularExpression &bearerPattern()
{
    static const QRegularExpression re(QStringLiteral(R"(\bBearer\s+([A-Za-z0-9._~+/\-]{16,}=*))"));
    return re;
}

// "password: …", "DB_PASSWORD=…", "\"api_key\": \"…\"" and the like, one per line.
const QRegularExpression &assignmentPattern()
{
    static const QRegularExpression re(
        QStringLiteral(R"((?:^|[\s"'{,;(])(?:[A-Za-z0-9]+[_.\-])*)"
                       R"((password|passwd|pwd|passphrase|pass|secret|token|api[_\-]?key|access[_\-]?key|)"
                       R"(private[_\-]?key|client[_\-]?secret|auth[_\-]?token|access[_\-]?token))"
                       R"(["']?\s*(?:=(?!=)|:(?!:))\s*(.+)$)"),
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::MultilineOption);
    return re;
}

const QRegularExpression &codeKeywordPattern()
{
    static const QRegularExpression re(
        QStringLiteral(R"(\b(?:verification|one[\- ]time|otp|passcode|2fa|two[\- ]factor|security code|)"
                       R"(log[\- ]?in code|sign[\- ]?in code|authentication code|auth code|confirmation code|)"
                       R"(access code|your code|pin code)\b)"),
        QRegularExpression::CaseInsensitiveOption);
    return re;
}

const QRegularExpression &pinPattern()
{
    static const QRegularExpression re(QStringLiteral(R"(\bPIN\b)"));
    return re;
}

const QRegularExpression &embeddedCodePattern()
{
    static const QRegularExpression re(QStringLiteral(R"((?<![\w.,:/\-#])(\d{4,8})(?!\w|[.,:/\-]\d))"));
    return re;
}

bool isWholeCode(const QString &text)
{
    static const QRegularExpression digits(QStringLiteral(R"(^(?:\d{6}|\d{8})$)"));
    static const QRegularExpression grouped(QStringLiteral(R"(^(?:\d{3} \d{3}|G-\d{6})$)"));
    if (grouped.match(text).hasMatch())
        return true;
    if (!digits.match(text).hasMatch())
        return false;
    // 12345678, 87654321 and 000000 are test data and placeholders, not codes.
    bool up = true, down = true, same = true;
    for (qsizetype i = 1; i < text.size(); ++i) {
        const int step = text.at(i).digitValue() - text.at(i - 1).digitValue();
        up = up && step == 1;
        down = down && step == -1;
        same = same && step == 0;
    }
    if (up || down || same)
        return false;
    QSet<QChar> distinct(text.begin(), text.end());
    if (distinct.size() < 3 || text.count(QLatin1Char('0')) * 2 > text.size()) // 100000, 100200
        return false;
    // 20240315 is far more often a date than a code.
    if (text.size() == 8) {
        const QDate date = QDate::fromString(text, QStringLiteral("yyyyMMdd"));
        if (date.isValid() && date.year() >= 1900 && date.year() <= 2100)
            return false;
    }
    return true;
}

bool hasDigit(QStringView s)
{
    for (QChar c : s)
        if (c.isDigit())
            return true;
    return false;
}

struct Classes {
    bool lower = false, upper = false, digit = false, strongSymbol = false;
    bool interiorDigit = false; // a digit with a letter somewhere after it
    int digits = 0;
    int transitions = 0;      // changes between lower, upper, digit and other along the text
    int alnumTransitions = 0; // the same over letters and digits alone
};

Classes classify(const QString &token)
{
    Classes c;
    int previous = -1;
    int previousAlnum = -1;
    bool digitSeen = false;
    for (QChar ch : token) {
        int cls = 3;
        if (ch.isLower()) {
            c.lower = true;
            cls = 0;
        } else if (ch.isUpper()) {
            c.upper = true;
            cls = 1;
        } else if (ch.isDigit()) {
            c.digit = true;
            ++c.digits;
            cls = 2;
        } else if (!QStringLiteral("._-+~\\").contains(ch)) {
            // Separators and escapes appear in names and versions as much as in passwords.
            c.strongSymbol = true;
        }
        if (ch.isLetter() && digitSeen)
            c.interiorDigit = true;
        if (cls == 2)
            digitSeen = true;
        if (previous >= 0 && cls != previous)
            ++c.transitions;
        previous = cls;
        if (cls != 3) {
            if (previousAlnum >= 0 && cls != previousAlnum)
                ++c.alnumTransitions;
            previousAlnum = cls;
        }
    }
    return c;
}

// The word without quotes, brackets and closing punctuation around it.
QString unwrapped(const QString &raw)
{
    // Markdown escapes ("node\_http2", "rollup\@3.9") are not part of the word.
    static const QRegularExpression escape(QStringLiteral(R"(\\(?=[^\w\s]))"));
    QString token = raw;
    token.remove(escape);
    static const QString opening = QStringLiteral("`'\"([{<*|") + QChar(0x201C) + QChar(0x2018) + QChar(0x00AB);
    static const QString closing = QStringLiteral("`'\")]}>.,;:*&|") + QChar(0x201D) + QChar(0x2019) + QChar(0x00BB);
    while (!token.isEmpty() && opening.contains(token.front()))
        token.remove(0, 1);
    while (!token.isEmpty() && closing.contains(token.back()))
        token.chop(1);
    return token;
}

// A piece of base64 or a generated key: letters of both cases and digits, changing class at
// least every other character. Words, file names and CamelCase change far less often.
bool looksRandom(const QString &segment)
{
    static const QRegularExpression alphabet(QStringLiteral(R"(^[A-Za-z0-9+=_\-]{10,}$)"));
    if (!alphabet.match(segment).hasMatch())
        return false;
    const Classes c = classify(segment);
    return c.lower && c.upper && c.digit && c.alnumTransitions * 10 >= int(segment.size()) * 5;
}

// Shapes of ordinary single-word copies that are never secrets: addresses, paths, numbers,
// identifiers, code. A miss here only keeps a secret in the history like any other clip; a false
// hit hides a clip and lets it expire, so ambiguous shapes count as ordinary.
bool isOrdinaryToken(const QString &raw)
{
    for (QChar c : raw)
        if (c.category() == QChar::Other_Control || c == QChar::ReplacementCharacter
            || c.category() == QChar::Other_PrivateUse)
            return true; // binary noise
    if (raw.endsWith(QLatin1Char(';')) || raw.endsWith(QLatin1Char(',')))
        return true; // a statement or a list item
    static const QRegularExpression bracketed(QStringLiteral(R"(\[.*\]|\{.*\}|\(.*\)|<.*>)"));
    if (bracketed.match(raw).hasMatch())
        return true; // markup, code, a pattern

    const QString token = unwrapped(raw);
    if (token.isEmpty() || token.endsWith(QLatin1String("'s")))
        return true;

    static const QRegularExpression shapes(
        QStringLiteral(R"(^(?:)"
                       R"(www\..*|mailto:.*)"
                       R"(|[/~].*|\.\.?/.*|[A-Za-z]:\\.*)" // absolute or home path
                       R"(|\{?[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}\}?)" // UUID
                       R"(|(?:0x)?[0-9A-Fa-f]+)"                      // hash, hex number
                       R"(|v?\d+(?:\.\d+)+(?:[\-+][0-9A-Za-z.\-]+)?)" // version
                       R"(|\d{4}-\d{2}-\d{2}(?:[Tt ]\d{2}:\d{2}(?::\d{2}(?:\.\d+)?)?(?:Z|[+\-]\d{2}:?\d{2})?)?)" // date
                       R"(|[A-Za-z0-9.\-]+:\d{1,5})"                                    // host:port
                       R"(|[@#][A-Za-z0-9_.\-]+)"                                       // handle, tag, colour
                       R"(|[#;\-]*[A-Za-z_][\w.\-]*=.*)"                                // assignment, option, query
                       R"(|[A-Za-z_][\w.\-]*(?::[\w.\-]+)+)"                            // qualified name, file:line
                       R"(|(?:\w+:)?[0-9A-Fa-f]{2}(?::[0-9A-Fa-f]{2})+:?)"              // fingerprint, MAC
                       R"(|\d{1,4}-[A-Za-z]{3,9}-\d{1,4})"                              // 08-Feb-2000
                       R"(|\d+(?:,\d+)?[acd]\d+(?:,\d+)?)"                              // diff hunk
                       R"(|[MmLlHhVvCcSsQqTtAaZz\d.,\-]+)"                              // drawing path data
                       R"(|[0-9A-Fa-f]*(?::[0-9A-Fa-f]*){2,})"                          // IPv6 address
                       R"(|[\w.\-/]+@v?\d[\w.\-]*)"                                     // package@version
                       R"(|[$%].*)"                                                     // variable, format
                       R"(|[\w.\-/]+#[\w.\-]+)"                                         // anchor, bug#123
                       R"(|[\w.\-/]+\^\d*|.*\.\..*)"                                    // revision, range
                       R"(|[\w.\-]+(?:,[\w.\-]+)+)"                                     // list of names
                       R"(|sha(?:1|256|384|512)-.*)"                                    // integrity digest
                       R"(|[A-Za-z0-9\-]+(?:\.[A-Za-z0-9\-]+)*\.[A-Za-z]{2,}(?:/\S*)?)" // domain
                       R"()$)"));
    if (shapes.match(token).hasMatch())
        return true;
    static const QRegularExpression anywhere(
        QStringLiteral(R"(://)"                                                 // an address inside
                       R"(|@[A-Za-z0-9\-]+(?:\.[A-Za-z0-9\-]+)*\.[A-Za-z]{2,})" // an e-mail address inside
                       R"(|&#?\w+;)"                                            // markup entity
                       R"(|\w\()"                                               // a call
                       R"(|\w\[)"                                               // indexing
                       R"(|::|->|=>|==|!=|:=|&&|\|\||[<>`]|\+\+|@@|\*\*)"));    // operators, markup
    if (anywhere.match(raw).hasMatch() || anywhere.match(token).hasMatch())
        return true;
    if (token.contains(QLatin1Char('/'))) {
        // A relative path has word-like segments; base64 has random ones.
        const QStringList segments = token.split(QLatin1Char('/'), Qt::SkipEmptyParts);
        if (std::none_of(segments.begin(), segments.end(), looksRandom))
            return true;
    }
    return false;
}

bool looksLikePassword(const QString &token)
{
    if (token.size() < 8 || token.size() > 64)
        return false;
    const Classes c = classify(token);
    // Typical human passwords have letters, digits and a symbol; generated ones without a symbol
    // mix cases and digits throughout. Product and type names ("iPhone15", "Http2Session") and
    // dotted names ("user.name2") stay out.
    return c.lower && c.digit
        && (c.strongSymbol
            || (token.size() >= 10 && c.upper && c.interiorDigit && c.alnumTransitions * 10 >= int(token.size()) * 6));
}

bool looksLikeRandomKey(const QString &token)
{
    static const QRegularExpression shape(QStringLiteral(R"(^(?:[a-z]{1,12}[_\-])?([A-Za-z0-9+/_\-]{24,})=*$)"));
    const auto m = shape.match(token);
    if (!m.hasMatch())
        return false;
    const QString body = m.captured(1);
    const Classes c = classify(body);
    // Random text changes between cases and digits at about three of five characters;
    // identifiers in CamelCase ("glTexCoord2fNormal3f") change less than every other one.
    return c.lower && c.upper && c.digits >= 2 && c.alnumTransitions * 2 >= int(body.size());
}

// After a credential keyword a slash is as likely base64 as a path; only absolute paths and
// addresses count as locations there.
bool isLocationOrName(const QString &value)
{
    if (!value.contains(QLatin1Char('/')))
        return isOrdinaryToken(value);
    static const QRegularExpression location(QStringLiteral(R"(^(?:[/~.]|[A-Za-z]:\\)|://)"));
    return location.match(value).hasMatch();
}

// The value after "password =" and the like, when it looks like a real value rather than code,
// a placeholder or a reference to somewhere else.
std::optional<QString> assignedValue(const QString &rest, bool isKey)
{
    QString value = rest.trimmed();
    bool quoted = false;
    if (!value.isEmpty()
        && (value.front() == QLatin1Char('"') || value.front() == QLatin1Char('\'')
            || value.front() == QLatin1Char('`'))) {
        const QChar quote = value.front();
        const qsizetype end = value.indexOf(quote, 1);
        if (end < 0)
            return std::nullopt;
        value = value.mid(1, end - 1);
        quoted = true;
        // A quoted path or address is a location, not a credential ("PWD": "/home/ada").
        if (!value.contains(QRegularExpression(QStringLiteral(R"(\s)"))) && isLocationOrName(value))
            return std::nullopt;
    } else {
        value = value.section(QRegularExpression(QStringLiteral(R"(\s)")), 0, 0);
        while (!value.isEmpty() && QStringLiteral(",;").contains(value.back()))
            value.chop(1);
    }
    // Tokens and keys are long; a short value after "token =" is a type or a variable.
    const qsizetype minimum = isKey ? (quoted ? 8 : 16) : (quoted ? 4 : 6);
    if (value.size() < minimum || value.size() > 200)
        return std::nullopt;
    static const QStringList placeholders{
        QStringLiteral("null"),          QStringLiteral("none"),     QStringLiteral("nil"),
        QStringLiteral("undefined"),     QStringLiteral("true"),     QStringLiteral("false"),
        QStringLiteral("empty"),         QStringLiteral("required"), QStringLiteral("optional"),
        QStringLiteral("string"),        QStringLiteral("password"), QStringLiteral("secret"),
        QStringLiteral("token"),         QStringLiteral("changeme"), QStringLiteral("example"),
        QStringLiteral("your_password"),
    };
    if (placeholders.contains(value, Qt::CaseInsensitive))
        return std::nullopt;
    if (value.count(value.front()) == value.size()) // "******", "xxxxxx"
        return std::nullopt;
    static const QRegularExpression substitution(QStringLiteral(R"(^[$%{<\[(@]|\$\{|\{\{)"));
    if (substitution.match(value).hasMatch())
        return std::nullopt;
    if (!quoted) {
        // Unquoted code: calls, indexing, generics, member paths without digits.
        static const QRegularExpression code(QStringLiteral(R"([\[\](){}<>])"));
        if (code.match(value).hasMatch())
            return std::nullopt;
        if (!hasDigit(value) && !classify(value).strongSymbol)
            return std::nullopt;
        if (isLocationOrName(value))
            return std::nullopt;
    }
    return value;
}

std::optional<SensitiveMatch> make(Kind kind, const QString &secret)
{
    return SensitiveMatch{kind, sensitiveLabel(kind), maskedSecret(secret, kind)};
}

std::optional<SensitiveMatch> findKeys(const QString &text)
{
    const QString scanned = text.size() > kKeyScanChars ? text.left(kKeyScanChars) : text;
    if (privateKeyPattern().match(scanned).hasMatch())
        return make(Kind::privateKey, QString());
    auto it = knownTokenPattern().globalMatch(scanned);
    while (it.hasNext()) {
        const QString token = it.next().captured(1);
        if (hasDigit(token))
            return make(Kind::apiKey, token);
    }
    auto bearer = bearerPattern().globalMatch(scanned);
    while (bearer.hasNext()) {
        const QString token = bearer.next().captured(1);
        if (hasDigit(token))
            return make(Kind::apiKey, token);
    }
    return std::nullopt;
}

std::optional<SensitiveMatch> findAssignment(const QString &text)
{
    if (text.size() > kAssignmentTextChars)
        return std::nullopt;
    auto it = assignmentPattern().globalMatch(text);
    while (it.hasNext()) {
        const auto m = it.next();
        const QString keyword = m.captured(1).toLower();
        const bool password = keyword.startsWith(QLatin1String("pass")) || keyword == QLatin1String("pwd");
        const auto value = assignedValue(m.captured(2), !password);
        if (!value)
            continue;
        return make(password ? Kind::password : Kind::apiKey, *value);
    }
    return std::nullopt;
}

std::optional<SensitiveMatch> findCode(const QString &text)
{
    if (isWholeCode(text))
        return make(Kind::oneTimeCode, text);
    if (text.size() > kCodeMessageChars)
        return std::nullopt;
    if (!codeKeywordPattern().match(text).hasMatch() && !pinPattern().match(text).hasMatch())
        return std::nullopt;
    // A message carrying a code carries one number of that size; more are dates, amounts, ids.
    static const QRegularExpression reference(
        QStringLiteral(R"(\b(?:rfc|iso|cve|section|chapter|page|port|version|error|issue|order|invoice|ticket|)"
                       R"(room|flight|year|no|number|line|step|build|release|since|in|of)\s*$)"),
        QRegularExpression::CaseInsensitiveOption);
    auto it = embeddedCodePattern().globalMatch(text);
    if (!it.hasNext())
        return std::nullopt;
    const auto m = it.next();
    if (it.hasNext())
        return std::nullopt;
    const QString code = m.captured(1);
    if (reference.match(text.left(m.capturedStart(1))).hasMatch())
        return std::nullopt;
    if (code.size() == 4 && (code.startsWith(QLatin1String("19")) || code.startsWith(QLatin1String("20"))))
        return std::nullopt;
    return make(Kind::oneTimeCode, code);
}

std::optional<SensitiveMatch> findToken(const QString &text)
{
    if (text.size() > kMaxTokenChars)
        return std::nullopt;
    for (QChar c : text)
        if (c.isSpace())
            return std::nullopt;
    if (isOrdinaryToken(text))
        return std::nullopt;
    const QString token = unwrapped(text);
    if (looksLikeRandomKey(token))
        return make(Kind::apiKey, token);
    if (looksLikePassword(token))
        return make(Kind::password, token);
    return std::nullopt;
}

} // namespace

QString sensitiveLabel(SensitiveMatch::Kind kind)
{
    switch (kind) {
    case Kind::oneTimeCode:
        return QStringLiteral("One-time code");
    case Kind::password:
        return QStringLiteral("Password");
    case Kind::apiKey:
        return QStringLiteral("API key");
    case Kind::privateKey:
        return QStringLiteral("Private key");
    }
    return {};
}

QString maskedSecret(const QString &secret, SensitiveMatch::Kind kind)
{
    static const QChar bullet(0x2022);
    const QList<uint> points = secret.toUcs4();
    if (kind == Kind::oneTimeCode) {
        qsizetype digits = 0;
        for (uint p : points)
            if (QChar::isDigit(char32_t(p)))
                ++digits;
        return QString(std::clamp<qsizetype>(digits, 4, 8), bullet);
    }
    QString out(8, bullet);
    // A long secret keeps its last two characters, so two similar entries can be told apart.
    if (kind != Kind::privateKey && points.size() >= 12)
        out += QString::fromUcs4(reinterpret_cast<const char32_t *>(points.constData() + points.size() - 2), 2);
    return out;
}

std::optional<SensitiveMatch> sensitiveMatch(const QString &input)
{
    const QString text = input.trimmed();
    if (text.isEmpty())
        return std::nullopt;
    if (auto m = findKeys(text))
        return m;
    if (auto m = findAssignment(text))
        return m;
    if (auto m = findCode(text))
        return m;
    return findToken(text);
}

} // namespace quillmere
