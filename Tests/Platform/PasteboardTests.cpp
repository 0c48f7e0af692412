#include "Quillmere/Platform/Pasteboard.h"

#include "Clipboard/ForeignClipboardOwner.h"

#include <QGuiApplication>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

using namespace quillmere;
using quillmere::test::ForeignClipboardOwner;

namespace {

QByteArray readWithXclip(const QString &target)
{
    QProcess process;
    process.start(QStringLiteral("xclip"), {QStringLiteral("-o"), QStringLiteral("-selection"), QStringLiteral("clipboard"),
                                            QStringLiteral("-t"), target});
    if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 10000))
        process.kill();
    return process.readAllStandardOutput();
}

bool onX11()
{
    return QGuiApplication::platformName() == QLatin1String("xcb");
}

} // namespace

TEST(SystemPasteboardTest, OurWriteMovesTheCountOnceAndServesEveryType)
{
    if (!onX11())
        GTEST_SKIP() << "needs an X display";
    SystemPasteboard pasteboard;
    QSignalSpy changed(&pasteboard, &Pasteboard::changed);
    const qint64 before = pasteboard.changeCount();

    const qint64 count = pasteboard.clearContents();
    EXPECT_EQ(count, before + 1);
    pasteboard.setString(QStringLiteral("several types"));
    pasteboard.setData("<p>several types</p>", PasteboardType::html);
    pasteboard.writeFileURLs({QUrl::fromLocalFile(QStringLiteral("/tmp/a b.txt"))});
    EXPECT_EQ(pasteboard.changeCount(), count);
    EXPECT_TRUE(pasteboard.ownsClipboard());

    const QByteArray targets = readWithXclip(QStringLiteral("TARGETS"));
    for (const char *type : {"UTF8_STRING", "text/html", "text/uri-list", "application/x-quillmere-owner"})
        EXPECT_TRUE(targets.contains(type)) << type << " in " << targets.toStdString();
    EXPECT_EQ(readWithXclip(QStringLiteral("UTF8_STRING")), QByteArray("several types"));
    EXPECT_EQ(readWithXclip(QStringLiteral("text/html")), QByteArray("<p>several types</p>"));
    EXPECT_EQ(readWithXclip(QStringLiteral("text/uri-list")).trimmed(), QByteArray("file:///tmp/a%20b.txt"));
    EXPECT_EQ(changed.count(), 0);
    EXPECT_EQ(pasteboard.changeCount(), count);
}

TEST(SystemPasteboardTest, AnotherProgramsCopyIsOneChangeWithItsTypesMapped)
{
    if (!onX11())
        GTEST_SKIP() << "needs an X display";
    SystemPasteboard pasteboard;
    pasteboard.clearContents(); // start as the owner, so the other program's copy takes it from us
    QSignalSpy changed(&pasteboard, &Pasteboard::changed);
    const qint64 before = pasteboard.changeCount();

    ForeignClipboardOwner owner({{"UTF8_STRING", "from elsewhere"},
                                 {"text/html", "<b>from</b> elsewhere"},
                                 {"org.nspasteboard.ConcealedType", ""}});
    ASSERT_TRUE(owner.waitUntilOwner());
    ASSERT_TRUE(changed.wait(5000));
    QTest::qWait(100);
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(pasteboard.changeCount(), before + 1);
    EXPECT_FALSE(pasteboard.ownsClipboard());

    const QStringList types = pasteboard.types();
    EXPECT_TRUE(types.contains(PasteboardType::string));
    EXPECT_TRUE(types.contains(PasteboardType::html));
    EXPECT_TRUE(types.contains(QStringLiteral("org.nspasteboard.ConcealedType")));
    EXPECT_FALSE(types.contains(QStringLiteral("TARGETS")));
    EXPECT_EQ(pasteboard.string(), QStringLiteral("from elsewhere"));
    EXPECT_EQ(pasteboard.data(PasteboardType::html), QByteArray("<b>from</b> elsewhere"));
    EXPECT_FALSE(pasteboard.data(PasteboardType::png));
}

TEST(SystemPasteboardTest, AnOwnerThatHangsIsAskedOnlyOncePerChange)
{
    if (!onX11())
        GTEST_SKIP() << "needs an X display";
    SystemPasteboard pasteboard;
    QSignalSpy changed(&pasteboard, &Pasteboard::changed);
    ForeignClipboardOwner hung(
        {{"UTF8_STRING", "never sent"}, {"text/plain;charset=utf-8", "never sent"}, {"text/html", "never sent"}}, false);
    ASSERT_TRUE(hung.waitUntilOwner());
    ASSERT_TRUE(changed.wait(5000));

    // Offered under both text targets, the string is still asked for (and waited on) once.
    EXPECT_FALSE(pasteboard.string());
    EXPECT_EQ(hung.dataRequests(), 1);
    EXPECT_FALSE(pasteboard.data(PasteboardType::html));
    EXPECT_FALSE(pasteboard.string());
    EXPECT_EQ(hung.dataRequests(), 1);
}

TEST(SystemPasteboardTest, AHungFileListCostsOneWaitForTheWholeCapture)
{
    if (!onX11())
        GTEST_SKIP() << "needs an X display";
    SystemPasteboard pasteboard;
    QSignalSpy changed(&pasteboard, &Pasteboard::changed);
    ForeignClipboardOwner hung({{"text/uri-list", "file:///tmp/never"}, {"UTF8_STRING", "never sent"}}, false);
    ASSERT_TRUE(hung.waitUntilOwner());
    ASSERT_TRUE(changed.wait(5000));

    // The order of a capture: files first, then the string and the images.
    EXPECT_TRUE(pasteboard.readFileURLs().isEmpty());
    EXPECT_FALSE(pasteboard.string());
    EXPECT_FALSE(pasteboard.data(PasteboardType::png));
    EXPECT_EQ(hung.dataRequests(), 1);
}
