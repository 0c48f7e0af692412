// The whole road on a real X display: other programs (xclip, or a second X client of our own)
// put content on the CLIPBOARD, the monitor turns it into clips, and what we write is read back.

#include "CaptureHarness.h"
#include "Support/ForeignClipboardOwner.h"

#include "Quillmere/Clipboard/PasteboardWriter.h"
#include "Quillmere/Platform/Core/PreferenceKeys.h"
#include "Quillmere/Platform/TextRecognizer.h"

#include <QTemporaryDir>

using namespace quillmere;
using namespace Qt::StringLiterals;
using namespace quillmere::test;

namespace {

// xclip serving one target until it loses the selection or is stopped.
class Xclip {
public:
    Xclip(const QByteArray &data, const QString &target = {})
    {
        QStringList args{u"-quiet"_s, u"-selection"_s, u"clipboard"_s, u"-i"_s};
        if (!target.isEmpty())
            args << u"-t"_s << target;
        m_process.start(u"xclip"_s, args);
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

class X11CaptureTest : public ::testing::Test {
protected:
    std::unique_ptr<SystemPasteboard> pasteboard;
    std::unique_ptr<CaptureHarness> h;

    void SetUp() override
    {
        if (!onX11())
            FAIL() << "needs an X display";
        pasteboard = std::make_unique<SystemPasteboard>();
        // Start as the owner, so that late notices about earlier tests' clients are no one's copy.
        pasteboard->clearContents();
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
        return waitUntil([&] {
            return pasteboard->changeCount() > before && h->monitor->lastChangeCount() == pasteboard->changeCount();
        });
    }
    // Another program offers `offers` until the monitor has looked at them.
    void offerUntilLookedAt(QList<ForeignClipboardOwner::Offer> offers)
    {
        const qint64 before = pasteboard->changeCount();
        ForeignClipboardOwner owner(std::move(offers));
        ASSERT_TRUE(owner.waitUntilOwner());
        ASSERT_TRUE(waitUntilLookedAt(before));
    }
    // Lets a few polls pass so that anything that would be captured has been.
    void settle() { QTest::qWait(3 * ClipboardMonitor::pollIntervalMs); }
};

} // namespace

TEST_F(X11CaptureTest, EachKindCopiedByAnotherProgramBecomesTheRightClip)
{
    // Counted in the store: an owner may announce itself twice, and the same content is one clip.
    const auto stored = [&](size_t count) { return QTest::qWaitFor([&] { return h->history().size() >= count; }); };
    const QByteArray png = encoded(filled(64, 48));
    QTemporaryDir dir;
    const QString a = dir.filePath(u"first file.txt"_s), b = dir.filePath(u"second.txt"_s);
    {
        Xclip text("plain words from another program");
        ASSERT_TRUE(stored(1));
    }
    {
        Xclip url(" https://example.com/path?q=1\n");
        ASSERT_TRUE(stored(2));
    }
    {
        Xclip image(png, u"image/png"_s);
        ASSERT_TRUE(stored(3));
    }
    {
        ForeignClipboardOwner rich({{"UTF8_STRING", "Bold move"}, {"text/rtf", "{\\rtf1 {\\b Bold} move}"}});
        ASSERT_TRUE(rich.waitUntilOwner());
        ASSERT_TRUE(stored(4));
    }
    {
        Xclip files(QUrl::fromLocalFile(a).toEncoded() + "\r\n" + QUrl::fromLocalFile(b).toEncoded() + "\r\n",
                    u"text/uri-list"_s);
        ASSERT_TRUE(stored(5));
    }
    settle();
    std::vector<ClipRef> clips = h->history();
    ASSERT_EQ(clips.size(), 5u);
    std::reverse(clips.begin(), clips.end());
    std::vector<ClipKind> kinds;
    QStringList texts;
    for (const ClipRef &clip : clips) {
        kinds.push_back(clip->kind());
        texts << clip->text().value_or(u"<none>"_s);
    }
    EXPECT_EQ(kinds, (std::vector{ClipKind::text, ClipKind::url, ClipKind::image, ClipKind::text, ClipKind::file}));
    EXPECT_EQ(texts,
              (QStringList{u"plain words from another program"_s, u"https://example.com/path?q=1"_s, u"<none>"_s,
                           u"Bold move"_s, a + QLatin1Char('\n') + b}));
    EXPECT_EQ(clips[2]->imageData(), png);
    EXPECT_EQ(clips[3]->fileTypeIdentifier(), u"public.rtf"_s);
    EXPECT_EQ(clips[3]->fileData(), QByteArray("{\\rtf1 {\\b Bold} move}"));
    EXPECT_EQ(clips[4]->fileName(), u"2 files"_s);
}

TEST_F(X11CaptureTest, AWebPOnlyCopyBecomesAnImage)
{
    ForeignClipboardOwner webp({{"image/webp", encoded(filled(64, 48), "WEBP")}});
    ASSERT_TRUE(webp.waitUntilOwner());
    ASSERT_TRUE(waitUntil([&] { return !h->history().empty(); }));
    EXPECT_EQ(h->history().front()->kind(), ClipKind::image);
}

TEST_F(X11CaptureTest, ConcealedAndSecretCopiesAreNotStored)
{
    offerUntilLookedAt({{"UTF8_STRING", "correct horse"}, {"org.nspasteboard.ConcealedType", ""}});
    offerUntilLookedAt({{"UTF8_STRING", "battery staple"}, {"x-kde-passwordManagerHint", "secret"}});
    EXPECT_TRUE(h->history().empty());

    Xclip plain("an ordinary copy afterwards");
    ASSERT_TRUE(h->waitForCaptures(1));
    EXPECT_EQ(h->captured[0]->text(), u"an ordinary copy afterwards"_s);
}

TEST_F(X11CaptureTest, OurWritesOfEachKindReadBackElsewhereAndAreNotCaptured)
{
    PasteboardWriter writer(*pasteboard, h->center);
    ClipItem text;
    text.setText(u"Written by us"_s);
    text.setFileData(QByteArray("<i>Written</i> by us"));
    text.setFileTypeIdentifier(u"public.html"_s);
    ASSERT_TRUE(writer.writeClip(text));
    EXPECT_TRUE(pasteboard->ownsClipboard());
    EXPECT_EQ(h->monitor->ownership().lastOwnWrite(), pasteboard->changeCount());
    EXPECT_EQ(readWithXclip(u"UTF8_STRING"_s), QByteArray("Written by us"));
    EXPECT_EQ(readWithXclip(u"text/html"_s), QByteArray("<i>Written</i> by us"));
    EXPECT_TRUE(readWithXclip(u"TARGETS"_s).contains("application/x-quillmere-owner"));

    ClipItem url;
    url.setKind(ClipKind::url);
    url.setText(u"https://example.com/"_s);
    ASSERT_TRUE(writer.writeClip(url));
    EXPECT_EQ(readWithXclip(u"UTF8_STRING"_s), QByteArray("https://example.com/"));

    ClipItem image;
    image.setKind(ClipKind::image);
    image.setImageData(encoded(filled(64, 48)));
    ASSERT_TRUE(writer.writeClip(image));
    EXPECT_EQ(readWithXclip(u"image/png"_s), image.imageData());
    EXPECT_EQ(QImage::fromData(readWithXclip(u"image/tiff"_s), "TIFF").size(), QSize(64, 48));

    QTemporaryDir dir;
    ClipItem file;
    file.setKind(ClipKind::file);
    file.setText(dir.filePath(u"report.txt"_s));
    QFile(*file.text()).open(QIODevice::WriteOnly);
    ASSERT_TRUE(writer.writeClip(file));
    const QByteArray address = QUrl::fromLocalFile(*file.text()).toEncoded();
    EXPECT_EQ(readWithXclip(u"text/uri-list"_s).trimmed(), address);
    EXPECT_EQ(readWithXclip(u"x-special/gnome-copied-files"_s), "copy\n" + address);
    settle();

    // Another program offering our data again (a clipboard keeper, say) is still us.
    offerUntilLookedAt({{"UTF8_STRING", "Written by us"}, {"application/x-quillmere-owner", "1"}});
    EXPECT_TRUE(h->captured.empty());
}

TEST_F(X11CaptureTest, ContentPresentAtStartIsNotCaptured)
{
    h.reset();
    Xclip before("copied before we started");
    const qint64 start = pasteboard->changeCount();
    ASSERT_TRUE(waitUntil([&] { return pasteboard->changeCount() > start; }));
    h = std::make_unique<CaptureHarness>(*pasteboard);
    settle();
    EXPECT_TRUE(h->captured.empty());

    Xclip after("copied after we started");
    ASSERT_TRUE(h->waitForCaptures(1));
    EXPECT_EQ(h->captured[0]->text(), u"copied after we started"_s);
}

TEST_F(X11CaptureTest, APausedMonitorConsumesTheChangeForGood)
{
    h->prefs->setBool(PreferenceKeys::capturePaused, true);
    const qint64 start = pasteboard->changeCount();
    {
        Xclip paused("copied while paused");
        ASSERT_TRUE(waitUntilLookedAt(start));
        h->prefs->setBool(PreferenceKeys::capturePaused, false);
        settle();
        EXPECT_TRUE(h->captured.empty());
    }
    Xclip resumed("copied after resuming");
    ASSERT_TRUE(h->waitForCaptures(1));
    EXPECT_EQ(h->captured[0]->text(), u"copied after resuming"_s);
    EXPECT_EQ(h->history().size(), 1u);
}

TEST_F(X11CaptureTest, TextPaintedInACopiedImageIsRecognisedShortlyAfter)
{
    h->recognizer = [](const QByteArray &data) { return recognizeText(data); };
    // Judged when the clip is handed over, however late the test itself looks at it.
    std::optional<bool> recognisedAtCapture;
    h->monitor->setOnItemCaptured([&](const ClipRef &clip) {
        h->captured.push_back(clip);
        recognisedAtCapture = clip->recognizedText().has_value();
    });
    Xclip image(encoded(paintedLines({u"HELLO CLIPBOARD 42"_s})), u"image/png"_s);
    ASSERT_TRUE(waitUntil([&] { return !h->captured.empty(); }, 60000));
    EXPECT_EQ(recognisedAtCapture, false);
    ASSERT_TRUE(waitUntil([&] { return h->history().front()->recognizedText().has_value(); }, 120000));
    ASSERT_TRUE(h->waitForMediaTasks(60000));
    const auto words = h->history().front()->recognizedText();
    ASSERT_TRUE(words);
    EXPECT_TRUE(words->contains(u"HELLO CLIPBOARD 42"_s)) << words->toStdString();
}
