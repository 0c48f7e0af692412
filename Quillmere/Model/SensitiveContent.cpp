#include "Quillmere/Model/SensitiveContent.h"

#include <QDate>
#include <QRegularExpression>

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
    static const QRegularExpression re(QStringLiteral(
        R"((?<![A-Za-z0-9_\-])()"
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
                       R"(["']?\s*[:=]\s*(.+)$)"),
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::MultilineOption);
    return re;
}

const QRegularExpression &codeKeywordPattern()
{
    static const QRegularExpression re(
        QStringLiteral(R"(\b(?:verification|verify|one[\- ]time|otp|passcode|2fa|two[\- ]factor|security code|)"
                       R"(log[\- ]?in code|sign[\- ]?in code|authentication code|auth code|confirmation code|)"
                       R"(access code|your code|pin(?: code)?)\b)"),
        QRegularExpression::CaseInsensitiveOption);
    return re;
}

const QRegularExpression &embeddedCodePattern()
{
    static const QRegularExpression re(QStringLiteral(R"((?<![\d.,:/\-])(\d{4,8})(?![\d]|[.,:/\-]\d))"));
    return re;
}

bool isWholeCode(const QString &text)
{
    static const QRegularExpression digits(QStringLiteral(R"(^\d{6,8}$)"));
    static const QRegularExpression grouped(QStringLiteral(R"(^(?:\d{3}[ \-]\d{3}|\d{4}[ \-]\d{4}|G-\d{6})$)"));
    if (grouped.match(text).hasMatch())
        return true;
    if (!digits.match(text).hasMatch())
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

// Shapes of ordinary single-word copies that are never secrets.
bool isOrdinaryToken(const QString &token)
{
    static const QRegularExpression shapes(QStringLiteral(
        R"(^(?:)"
        R"([A-Za-z][A-Za-z0-9+.\-]*://.*)"                                  // URL
        R"(|www\..*|mailto:.*)"
        R"(|[^@\s]+@[^@\s]+\.[A-Za-z]{2,})"                                  // e-mail address
        R"(|[/~].*|\.\.?/.*|[A-Za-z]:\\.*)"                                  // path
        R"(|\{?[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}\}?)" // UUID
        R"(|(?:0x)?[0-9A-Fa-f]+)"                                            // hash, hex number
        R"(|v?\d+(?:\.\d+)+(?:[\-+][0-9A-Za-z.\-]+)?)"                       // version
        R"(|\d{4}-\d{2}-\d{2}(?:[T ]\d{2}:\d{2}(?::\d{2}(?:\.\d+)?)?(?:Z|[+\-]\d{2}:?\d{2})?)?)" // date
        R"(|[A-Za-z0-9.\-]+:\d{1,5})"                                        // host:port
        R"(|[@#][A-Za-z0-9_.\-]+)"                                           // handle, tag, colour
        R"(|[A-Za-z_][\w.:]*\(.*\))"                                         // call
        R"(|[A-Za-z_][\w.\-]*=.*)"                                           // assignment, query
        R"(|sha(?:1|256|384|512)-.*)"                                        // integrity digest
        R"(|[A-Za-z0-9\-]+(?:\.[A-Za-z0-9\-]+)*\.[A-Za-z]{2,}(?:/\S*)?)"     // domain
        R"(|[\[{(<].*[\]})>])"                                               // bracketed literal, markup
        R"()$)"));
    if (shapes.match(token).hasMatch())
        return true;
    for (const char *op : {"::", "->", "=>", "==", "&&", "||", "</", "/>"})
        if (token.contains(QLatin1String(op)))
            return true;
    return false;
}

struct Classes {
    bool lower = false, upper = false, digit = false, strongSymbol = false;
    bool interiorDigit = false; // a digit with a letter somewhere after it
    int digits = 0;
    int transitions = 0; // changes between lower, upper, digit and other along the text
};

Classes classify(const QString &token)
{
    Classes c;
    int previous = -1;
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
        } else if (ch != QLatin1Char('.') && ch != QLatin1Char('_') && ch != QLatin1Char('-')) {
            c.strongSymbol = true;
        }
        if (ch.isLetter() && digitSeen)
            c.interiorDigit = true;
        if (cls == 2)
            digitSeen = true;
        if (previous >= 0 && cls != previous)
            ++c.transitions;
        previous = cls;
    }
    return c;
}

bool looksLikePassword(const QString &token)
{
    if (token.size() < 8 || token.size() > 64)
        return false;
    const Classes c = classify(token);
    // Generated and typical human passwords: letters and digits with a symbol, or mixed case with
    // digits inside. Product names ("iPhone15") and dotted names ("user.name2") stay out.
    return c.lower && c.digit && (c.strongSymbol || (c.upper && c.interiorDigit));
}

bool looksLikeRandomKey(const QString &token)
{
    static const QRegularExpression shape(QStringLiteral(R"(^(?:[a-z]{1,12}[_\-])?([A-Za-z0-9+/_\-]{24,})=*$)"));
    const auto m = shape.match(token);
    if (!m.hasMatch())
        return false;
    const QString body = m.captured(1);
    const Classes c = classify(body);
    // Random text changes class at about two of three characters; identifiers in CamelCase
    // change once a word.
    return c.lower && c.upper && c.digits >= 2 && c.transitions * 10 >= int(body.size()) * 3;
}

std::optional<QString> assignedValue(const QString &rest)
{
    QString value = rest.trimmed();
    bool quoted = false;
    if (!value.isEmpty() && (value.front() == QLatin1Char('"') || value.front() == QLatin1Char('\'')
                             || value.front() == QLatin1Char('`'))) {
        const QChar quote = value.front();
        const qsizetype end = value.indexOf(quote, 1);
        if (end < 0)
            return std::nullopt;
        value = value.mid(1, end - 1);
        quoted = true;
    } else {
        value = value.section(QRegularExpression(QStringLiteral(R"(\s)")), 0, 0);
        while (!value.isEmpty() && QStringLiteral(",;").contains(value.back()))
            value.chop(1);
    }
    if (value.size() < (quoted ? 4 : 6) || value.size() > 200)
        return std::nullopt;
    static const QStringList placeholders{
        QStringLiteral("null"),     QStringLiteral("none"),   QStringLiteral("nil"),    QStringLiteral("undefined"),
        QStringLiteral("true"),     QStringLiteral("false"),  QStringLiteral("empty"),  QStringLiteral("required"),
        QStringLiteral("optional"), QStringLiteral("string"), QStringLiteral("password"), QStringLiteral("secret"),
        QStringLiteral("token"),    QStringLiteral("changeme"), QStringLiteral("example"), QStringLiteral("your_password"),
    };
    if (placeholders.contains(value, Qt::CaseInsensitive))
        return std::nullopt;
    if (value.count(value.front()) == value.size()) // "******", "xxxxxx"
        return std::nullopt;
    static const QRegularExpression substitution(QStringLiteral(R"(^[$%{<\[(@]|\(|\$\{)"));
    if (substitution.match(value).hasMatch())
        return std::nullopt;
    if (!quoted) {
        // Unquoted words without digits are code (`password = user.password`), not values.
        if (!hasDigit(value) && !classify(value).strongSymbol)
            return std::nullopt;
        if (value.contains(QLatin1Char('/')) && isOrdinaryToken(value))
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
        const auto value = assignedValue(m.captured(2));
        if (!value)
            continue;
        const QString keyword = m.captured(1).toLower();
        const bool password = keyword.startsWith(QLatin1String("pass")) || keyword == QLatin1String("pwd");
        return make(password ? Kind::password : Kind::apiKey, *value);
    }
    return std::nullopt;
}

std::optional<SensitiveMatch> findCode(const QString &text)
{
    if (isWholeCode(text))
        return make(Kind::oneTimeCode, text);
    if (text.size() > kCodeMessageChars || !codeKeywordPattern().match(text).hasMatch())
        return std::nullopt;
    const auto m = embeddedCodePattern().match(text);
    if (!m.hasMatch())
        return std::nullopt;
    return make(Kind::oneTimeCode, m.captured(1));
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
    if (looksLikeRandomKey(text))
        return make(Kind::apiKey, text);
    if (looksLikePassword(text))
        return make(Kind::password, text);
    return std::nullopt;
}

} // namespace

QString sensitiveLabel(SensitiveMatch::Kind kind)
{
    switch (kind) {
    case Kind::oneTimeCode: return QStringLiteral("One-time code");
    case Kind::password: return QStringLiteral("Password");
    case Kind::apiKey: return QStringLiteral("API key");
    case Kind::privateKey: return QStringLiteral("Private key");
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
