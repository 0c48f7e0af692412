// The README's list of the tests that may skip is the one the sources make: every test whose body
// can skip is on it, and nothing else is.
#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <gtest/gtest.h>

namespace {

const QString kSources = QStringLiteral(QUILLMERE_SOURCE_DIR);

// `text` with its comments and the insides of its literals blanked, lines and offsets kept.
QString codeOnly(const QString &text)
{
    QString code = text;
    const qsizetype n = code.size();
    auto blank = [&](qsizetype from, qsizetype to) {
        for (qsizetype i = from; i < std::min(to, n); ++i)
            if (code[i] != QLatin1Char('\n'))
                code[i] = QLatin1Char(' ');
    };
    for (qsizetype i = 0; i < n;) {
        const QStringView rest = QStringView(text).mid(i);
        if (rest.startsWith(u"//")) {
            const qsizetype end = text.indexOf(QLatin1Char('\n'), i);
            blank(i, end < 0 ? n : end);
            i = end < 0 ? n : end;
        } else if (rest.startsWith(u"/*")) {
            const qsizetype end = text.indexOf(QStringLiteral("*/"), i + 2);
            blank(i, end < 0 ? n : end + 2);
            i = end < 0 ? n : end + 2;
        } else if (rest.startsWith(u"R\"") && (i == 0 || !text[i - 1].isLetterOrNumber())) {
            const qsizetype open = text.indexOf(QLatin1Char('('), i);
            const QString close = QLatin1Char(')') + text.mid(i + 2, open - i - 2) + QLatin1Char('"');
            const qsizetype end = text.indexOf(close, open);
            blank(i + 2, end < 0 ? n : end);
            i = end < 0 ? n : end + close.size();
        } else if (text[i] == QLatin1Char('"') || (text[i] == QLatin1Char('\'') && !(i > 0 && text[i - 1].isDigit()))) {
            const QChar quote = text[i];
            qsizetype j = i + 1;
            while (j < n && text[j] != quote && text[j] != QLatin1Char('\n'))
                j += text[j] == QLatin1Char('\\') ? 2 : 1;
            blank(i + 1, j);
            i = j + 1;
        } else {
            ++i;
        }
    }
    return code;
}

struct Skippable {
    QSet<QString> tests;
    // Skips outside any test's body, which the list could not name.
    QStringList unplaced;
};

// The tests under Tests/ whose bodies can skip: a GoogleTest skip, or the skip helper.
Skippable skippableTests()
{
    static const QRegularExpression header(
        QStringLiteral(R"(\b(?:TEST|TEST_F|TEST_P|TYPED_TEST|TYPED_TEST_P)\s*\(\s*(\w+)\s*,\s*(\w+)\s*\))"));
    static const QRegularExpression skip(QStringLiteral(R"(\b(?:GTEST_SKIP|QUILLMERE_SKIP_WITHOUT)\b)"));
    // The helper's own definition, and its own test, whose skips a reporter of its own takes.
    const QSet<QString> helper{QStringLiteral("Support/MachineNeeds.h"),
                               QStringLiteral("Platform/MachineNeedsTests.cpp")};
    Skippable found;
    QDirIterator it(kSources + QStringLiteral("/Tests"), {QStringLiteral("*.cpp"), QStringLiteral("*.h")}, QDir::Files,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString name = path.mid(kSources.size() + 7);
        QFile file(path);
        if (helper.contains(name) || !file.open(QIODevice::ReadOnly))
            continue;
        const QString code = codeOnly(QString::fromUtf8(file.readAll()));
        struct Body {
            qsizetype from, to;
            QString test;
        };
        std::vector<Body> bodies;
        for (auto match = header.globalMatch(code); match.hasNext();) {
            const auto m = match.next();
            const qsizetype open = code.indexOf(QLatin1Char('{'), m.capturedEnd());
            qsizetype depth = 0, end = open;
            for (; open >= 0 && end < code.size(); ++end) {
                depth += code[end] == QLatin1Char('{') ? 1 : code[end] == QLatin1Char('}') ? -1 : 0;
                if (depth == 0)
                    break;
            }
            bodies.push_back({open, end, m.captured(1) + QLatin1Char('.') + m.captured(2)});
        }
        for (auto match = skip.globalMatch(code); match.hasNext();) {
            const qsizetype at = match.next().capturedStart();
            const auto body = std::find_if(bodies.begin(), bodies.end(),
                                           [&](const Body &b) { return b.from >= 0 && at > b.from && at < b.to; });
            if (body != bodies.end())
                found.tests.insert(body->test);
            else
                found.unplaced << name + QLatin1Char(':') + QString::number(code.left(at).count(QLatin1Char('\n')) + 1);
        }
    }
    return found;
}

// The tests the README names where it says which may skip.
QSet<QString> testsTheReadmeNames()
{
    QFile file(kSources + QStringLiteral("/README.md"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QString text = QString::fromUtf8(file.readAll()).simplified();
    const qsizetype from = text.indexOf(QStringLiteral("These are all the tests that can skip"));
    const qsizetype to = text.indexOf(QStringLiteral("With `QUILLMERE_REQUIRE_ALL_TESTS` set"), from);
    if (from < 0 || to < 0)
        return {};
    static const QRegularExpression name(QStringLiteral(R"(`([A-Z]\w*\.\w+)`)"));
    QSet<QString> names;
    for (auto match = name.globalMatch(text.mid(from, to - from)); match.hasNext();)
        names.insert(match.next().captured(1));
    return names;
}

QString sorted(const QSet<QString> &names)
{
    QStringList list(names.begin(), names.end());
    list.sort();
    return list.join(QStringLiteral(", "));
}

} // namespace

TEST(SkippableTests, TheReadmeNamesEveryTestThatCanSkipAndNoOther)
{
    const Skippable code = skippableTests();
    EXPECT_TRUE(code.unplaced.isEmpty()) << "skips outside a test's body: " << code.unplaced.join(", ").toStdString();
    ASSERT_FALSE(code.tests.isEmpty()) << "no test found under " << kSources.toStdString();
    const QSet<QString> listed = testsTheReadmeNames();
    ASSERT_FALSE(listed.isEmpty()) << "the README's list of tests that may skip is not where it was";
    EXPECT_TRUE((code.tests - listed).isEmpty())
        << "can skip but not in the README: " << sorted(code.tests - listed).toStdString();
    EXPECT_TRUE((listed - code.tests).isEmpty())
        << "in the README but cannot skip: " << sorted(listed - code.tests).toStdString();
}

// The reading itself: a skip in a comment, a string or a helper is no test's; one in a body is.
TEST(SkippableTests, OnlyCodeInATestsBodyCounts)
{
    const QString code = codeOnly(QStringLiteral("// GTEST_SKIP\n\"GTEST_SKIP {\" R\"x(})x\" '{' x = 1'000;\n/* } */ "
                                                 "TEST(A, B) { if (1) { } GTEST_SKIP(); }"));
    EXPECT_FALSE(code.left(code.indexOf(QStringLiteral("TEST("))).contains(QStringLiteral("GTEST_SKIP")));
    EXPECT_EQ(code.count(QLatin1Char('{')), 2);
    EXPECT_EQ(code.count(QLatin1Char('}')), 2);
    EXPECT_EQ(code.count(QLatin1Char('\n')), 2) << "lines kept";
}
