#include "Quillmere/Platform/Pasteboard.h"

#include "Clipboard/ForeignClipboardOwner.h"
#include "Support/DisplayTestSupport.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

using namespace quillmere;
using namespace Qt::StringLiterals;
using quillmere::test::ForeignClipboardOwner;
using quillmere::test::readWithXclip;

namespace {

class SystemPasteboardTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!test::onX11())
            GTEST_SKIP() << "needs an X display";
    }
    // Another program takes the clipboard; true once we have seen its change.
    bool foreignCopy(ForeignClipboardOwner &owner) { return owner.waitUntilOwner() && changed.wait(5000); }

    SystemPasteboard pasteboard;
    QSignalSpy changed{&pasteboard, &Pasteboard::changed};
};

} // namespace

TEST_F(SystemPasteboardTest, OurWriteMovesTheCountOnceAndServesEveryType)
{
    const qint64 before = pasteboard.changeCount();
    const qint64 count = pasteboard.clearContents();
    EXPECT_EQ(count, before + 1);
    pasteboard.setString(u"several types"_s);
    pasteboard.setData("<p>several types</p>", PasteboardType::html);
    pasteboard.writeFileURLs({QUrl::fromLocalFile(u"/tmp/a b.txt"_s)});
    EXPECT_TRUE(pasteboard.ownsClipboard());

    const QByteArray targets = readWithXclip(u"TARGETS"_s);
    for (const char *type : {"UTF8_STRING", "text/html", "text/uri-list", "application/x-quillmere-owner"})
        EXPECT_TRUE(targets.contains(type)) << type << " in " << targets.toStdString();
    EXPECT_EQ(readWithXclip(u"UTF8_STRING"_s), QByteArray("several types"));
    EXPECT_EQ(readWithXclip(u"text/html"_s), QByteArray("<p>several types</p>"));
    EXPECT_EQ(readWithXclip(u"text/uri-list"_s).trimmed(), QByteArray("file:///tmp/a%20b.txt"));
    EXPECT_EQ(changed.count(), 0);
    EXPECT_EQ(pasteboard.changeCount(), count);
}

TEST_F(SystemPasteboardTest, AnotherProgramsCopyIsOneChangeWithItsTypesMapped)
{
    const qint64 before = pasteboard.clearContents(); // as the owner, the other program takes it from us
    ForeignClipboardOwner owner({{"UTF8_STRING", "from elsewhere"},
                                 {"text/html", "<b>from</b> elsewhere"},
                                 {"org.nspasteboard.ConcealedType", ""}});
    ASSERT_TRUE(foreignCopy(owner));
    QTest::qWait(100);
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(pasteboard.changeCount(), before + 1);
    EXPECT_FALSE(pasteboard.ownsClipboard());

    const QStringList types = pasteboard.types();
    EXPECT_TRUE(types.contains(PasteboardType::string));
    EXPECT_TRUE(types.contains(PasteboardType::html));
    EXPECT_TRUE(types.contains(u"org.nspasteboard.ConcealedType"_s));
    EXPECT_FALSE(types.contains(u"TARGETS"_s));
    EXPECT_EQ(pasteboard.string(), u"from elsewhere"_s);
    EXPECT_EQ(pasteboard.data(PasteboardType::html), QByteArray("<b>from</b> elsewhere"));
    EXPECT_FALSE(pasteboard.data(PasteboardType::png));
}

TEST_F(SystemPasteboardTest, AnOwnerThatHangsIsAskedOnlyOncePerChange)
{
    // Offered under both text targets, the string is still asked for (and waited on) once.
    ForeignClipboardOwner hung(
        {{"UTF8_STRING", "never sent"}, {"text/plain;charset=utf-8", "never sent"}, {"text/html", "never sent"}}, false);
    ASSERT_TRUE(foreignCopy(hung));
    EXPECT_FALSE(pasteboard.string());
    EXPECT_EQ(hung.dataRequests(), 1);
    EXPECT_FALSE(pasteboard.data(PasteboardType::html));
    EXPECT_FALSE(pasteboard.string());
    EXPECT_EQ(hung.dataRequests(), 1);
}

TEST_F(SystemPasteboardTest, AHungFileListCostsOneWaitForTheWholeCapture)
{
    ForeignClipboardOwner hung({{"text/uri-list", "file:///tmp/never"}, {"UTF8_STRING", "never sent"}}, false);
    ASSERT_TRUE(foreignCopy(hung));
    // In the order of a capture: files first, then the string and the images.
    EXPECT_TRUE(pasteboard.readFileURLs().isEmpty());
    EXPECT_FALSE(pasteboard.string());
    EXPECT_FALSE(pasteboard.data(PasteboardType::png));
    EXPECT_EQ(hung.dataRequests(), 1);
}
