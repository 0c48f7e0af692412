// The whole road on a real X display: other programs (xclip, or a second X client of our own)
// put content on the CLIPBOARD, the monitor turns it into clips, and what we write is read back.

#include "CaptureHarness.h"
#include "ForeignClipboardOwner.h"

#include "Quillmere/Clipboard/PasteboardWriter.h"
#include "Quillmere/Platform/TextRecognizer.h"

#include <QBuffer>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QTemporaryDir>

using namespace quillmere;
using namespace quillmere::test;

namespace {

// xclip serving one target until it loses the selection or is stopped.
class Xclip {
public:
    Xclip(const QByteArray &data, const QString &target = {})
    {
        QStringList args{QStringLiteral("-quiet"), QStringLiteral("-selection"), QStringLiteral("clipboard"), QStringLiteral("-i")};
        if (!target.isEmpty())
            args << QStringLiteral("-t") << target;
        m_process.start(QStringLiteral("xclip"), args);
        m_process.waitForStarted(5000);
        m_process.write(data);
        m_process.closeWriteChannel();
    }
    ~Xclip()
    {
        m_process.kill();
        m_process.waitForFinished(2000);
    }

private:
    QProcess m_process;
};

// Reads the clipboard the way another program does, keeping our event loop running so that we
// can answer when we are the owner.
QByteArray readWithXclip(const QString &target)
{
    QProcess process;
    process.start(QStringLiteral("xclip"), {QStringLiteral("-o"), QStringLiteral("-selection"), QStringLiteral("clipboard"),
                                            QStringLiteral("-t"), target});
    if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 10000))
        process.kill();
    return process.readAllStandardOutput();
}

QByteArray encodedPng(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

QImage paintedText(const QString &text)
{
    QImage image(640, 120, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(48);
    painter.setFont(font);
    painter.setPen(Qt::black);
    painter.drawText(image.rect(), Qt::AlignCenter, text);
    return image;
}

class X11CaptureTest : public ::testing::Test {
protected:
    std::unique_ptr<SystemPasteboard> pasteboard;
    std::unique_ptr<CaptureHarness> h;

    void SetUp() override
    {
        if (QGuiApplication::platformName() != QLatin1String("xcb"))
            GTEST_SKIP() << "needs an X display";
        pasteboard = std::make_unique<SystemPasteboard>();
        h = std::make_unique<CaptureHarness>(*pasteboard);
    }
    void TearDown() override
    {
        h.reset();
        pasteboard.reset();
    }
    // The monitor has looked at a change made after `before`.
    bool waitUntilLookedAt(qint64 before)
    {
        return QTest::qWaitFor([&] {
            return pasteboard->changeCount() > before && h->monitor->lastChangeCount() == pasteboard->changeCount();
        });
    }
    // Lets a few polls pass so that anything that would be captured has been.
    void settle() { QTest::qWait(3 * ClipboardMonitor::pollIntervalMs); }
};

} // namespace

TEST_F(X11CaptureTest, EachKindCopiedByAnotherProgramBecomesTheRightClip)
{
    {
        Xclip text("plain words from another program");
        ASSERT_TRUE(h->waitForCaptures(1));
        EXPECT_EQ(h->captured[0]->kind(), ClipKind::text);
        EXPECT_EQ(h->captured[0]->text(), QStringLiteral("plain words from another program"));
    }
    {
        Xclip url(" https://example.com/path?q=1\n");
        ASSERT_TRUE(h->waitForCaptures(2));
        EXPECT_EQ(h->captured[1]->kind(), ClipKind::url);
        EXPECT_EQ(h->captured[1]->text(), QStringLiteral("https://example.com/path?q=1"));
    }
    const QByteArray png = encodedPng(paintedText(QStringLiteral("x")));
    {
        Xclip image(png, QStringLiteral("image/png"));
        ASSERT_TRUE(h->waitForCaptures(3));
        EXPECT_EQ(h->captured[2]->kind(), ClipKind::image);
        EXPECT_EQ(h->captured[2]->imageData(), png);
    }
    {
        ForeignClipboardOwner rich({{"UTF8_STRING", "Bold move"}, {"text/rtf", "{\\rtf1 {\\b Bold} move}"}});
        ASSERT_TRUE(rich.waitUntilOwner());
        ASSERT_TRUE(h->waitForCaptures(4));
        EXPECT_EQ(h->captured[3]->kind(), ClipKind::text);
        EXPECT_EQ(h->captured[3]->text(), QStringLiteral("Bold move"));
        EXPECT_EQ(h->captured[3]->fileTypeIdentifier(), QStringLiteral("public.rtf"));
        EXPECT_EQ(h->captured[3]->fileData(), QByteArray("{\\rtf1 {\\b Bold} move}"));
    }
    {
        QTemporaryDir dir;
        const QString a = dir.filePath(QStringLiteral("first file.txt"));
        const QString b = dir.filePath(QStringLiteral("second.txt"));
        Xclip files(QUrl::fromLocalFile(a).toEncoded() + "\r\n" + QUrl::fromLocalFile(b).toEncoded() + "\r\n",
                    QStringLiteral("text/uri-list"));
        ASSERT_TRUE(h->waitForCaptures(5));
        EXPECT_EQ(h->captured[4]->kind(), ClipKind::file);
        EXPECT_EQ(h->captured[4]->text(), a + QLatin1Char('\n') + b);
        EXPECT_EQ(h->captured[4]->fileName(), QStringLiteral("2 files"));
    }
    settle();
    EXPECT_EQ(h->captured.size(), 5u);
    EXPECT_EQ(h->history().size(), 5u);
}

TEST_F(X11CaptureTest, ConcealedAndSecretCopiesAreNotStored)
{
    {
        const qint64 before = pasteboard->changeCount();
        ForeignClipboardOwner concealed({{"UTF8_STRING", "correct horse"}, {"org.nspasteboard.ConcealedType", ""}});
        ASSERT_TRUE(concealed.waitUntilOwner());
        ASSERT_TRUE(waitUntilLookedAt(before));
    }
    {
        const qint64 before = pasteboard->changeCount();
        ForeignClipboardOwner secret({{"UTF8_STRING", "battery staple"}, {"x-kde-passwordManagerHint", "secret"}});
        ASSERT_TRUE(secret.waitUntilOwner());
        ASSERT_TRUE(waitUntilLookedAt(before));
    }
    EXPECT_TRUE(h->captured.empty());
    EXPECT_TRUE(h->history().empty());

    Xclip plain("an ordinary copy afterwards");
    ASSERT_TRUE(h->waitForCaptures(1));
    EXPECT_EQ(h->captured[0]->text(), QStringLiteral("an ordinary copy afterwards"));
}

TEST_F(X11CaptureTest, OurOwnWritesAreServedButNotCaptured)
{
    PasteboardWriter writer(*pasteboard, h->center);
    ClipItem text;
    text.setText(QStringLiteral("Written by us"));
    text.setFileData(QByteArray("<i>Written</i> by us"));
    text.setFileTypeIdentifier(QStringLiteral("public.html"));
    ASSERT_TRUE(writer.writeClip(text));
    EXPECT_TRUE(pasteboard->ownsClipboard());
    EXPECT_EQ(h->monitor->lastChangeCount(), pasteboard->changeCount());

    EXPECT_EQ(readWithXclip(QStringLiteral("UTF8_STRING")), QByteArray("Written by us"));
    EXPECT_EQ(readWithXclip(QStringLiteral("text/html")), QByteArray("<i>Written</i> by us"));
    EXPECT_TRUE(readWithXclip(QStringLiteral("TARGETS")).contains("application/x-quillmere-owner"));
    settle();
    EXPECT_TRUE(h->captured.empty());

    // Another program offering our data again (a clipboard keeper, say) is still us.
    {
        ForeignClipboardOwner keeper({{"UTF8_STRING", "Written by us"}, {"application/x-quillmere-owner", "1"}});
        const qint64 before = pasteboard->changeCount();
        ASSERT_TRUE(keeper.waitUntilOwner());
        ASSERT_TRUE(waitUntilLookedAt(before));
    }
    EXPECT_TRUE(h->captured.empty());
}

TEST_F(X11CaptureTest, WriterOutputForEachKindReadsBackInOtherPrograms)
{
    PasteboardWriter writer(*pasteboard, h->center);

    ClipItem url;
    url.setKind(ClipKind::url);
    url.setText(QStringLiteral("https://example.com/"));
    ASSERT_TRUE(writer.writeClip(url));
    EXPECT_EQ(readWithXclip(QStringLiteral("UTF8_STRING")), QByteArray("https://example.com/"));

    const QByteArray png = encodedPng(paintedText(QStringLiteral("img")));
    ClipItem image;
    image.setKind(ClipKind::image);
    image.setImageData(png);
    ASSERT_TRUE(writer.writeClip(image));
    EXPECT_EQ(readWithXclip(QStringLiteral("image/png")), png);
    const QImage tiff = QImage::fromData(readWithXclip(QStringLiteral("image/tiff")), "TIFF");
    EXPECT_EQ(tiff.size(), QSize(640, 120));

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("report.txt"));
    QFile(path).open(QIODevice::WriteOnly);
    ClipItem file;
    file.setKind(ClipKind::file);
    file.setText(path);
    file.setFileName(QStringLiteral("report.txt"));
    ASSERT_TRUE(writer.writeClip(file));
    EXPECT_EQ(readWithXclip(QStringLiteral("text/uri-list")).trimmed(), QUrl::fromLocalFile(path).toEncoded());
    EXPECT_EQ(readWithXclip(QStringLiteral("x-special/gnome-copied-files")), "copy\n" + QUrl::fromLocalFile(path).toEncoded());

    settle();
    EXPECT_TRUE(h->captured.empty());
}

TEST_F(X11CaptureTest, ContentPresentAtStartIsNotCaptured)
{
    h.reset();
    Xclip before("copied before we started");
    const qint64 start = pasteboard->changeCount();
    ASSERT_TRUE(QTest::qWaitFor([&] { return pasteboard->changeCount() > start; }));
    h = std::make_unique<CaptureHarness>(*pasteboard);
    settle();
    EXPECT_TRUE(h->captured.empty());

    Xclip after("copied after we started");
    ASSERT_TRUE(h->waitForCaptures(1));
    EXPECT_EQ(h->captured[0]->text(), QStringLiteral("copied after we started"));
}

TEST_F(X11CaptureTest, APausedMonitorConsumesTheChangeForGood)
{
    h->prefs->setBool(ClipboardMonitor::capturePausedKey, true);
    const qint64 start = pasteboard->changeCount();
    {
        Xclip paused("copied while paused");
        ASSERT_TRUE(waitUntilLookedAt(start));
        h->prefs->setBool(ClipboardMonitor::capturePausedKey, false);
        settle();
        EXPECT_TRUE(h->captured.empty());
    }
    Xclip resumed("copied after resuming");
    ASSERT_TRUE(h->waitForCaptures(1));
    EXPECT_EQ(h->captured[0]->text(), QStringLiteral("copied after resuming"));
    EXPECT_EQ(h->history().size(), 1u);
}

TEST_F(X11CaptureTest, TextPaintedInACopiedImageIsRecognisedShortlyAfter)
{
    h->recognizer = [](const QByteArray &data) { return recognizeText(data); };
    Xclip image(encodedPng(paintedText(QStringLiteral("HELLO CLIPBOARD 42"))), QStringLiteral("image/png"));
    ASSERT_TRUE(h->waitForCaptures(1));
    EXPECT_FALSE(h->captured[0]->recognizedText());
    ASSERT_TRUE(h->waitForMediaTasks(60000));
    const ClipRef clip = h->history().front();
    ASSERT_TRUE(clip->recognizedText());
    EXPECT_TRUE(clip->recognizedText()->contains(QStringLiteral("HELLO CLIPBOARD 42"))) << clip->recognizedText()->toStdString();
}
