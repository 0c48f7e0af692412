// The monitor's checks and the capture's decisions, over a pasteboard in memory.

#include "CaptureHarness.h"

#include "Quillmere/Clipboard/PasteboardWriter.h"
#include "Quillmere/Model/ClipCaptureRules.h"

#include <QTemporaryDir>

#include <future>

using namespace quillmere;
using namespace Qt::StringLiterals;
using namespace quillmere::test;

namespace {

void blockApps(Preferences &prefs, QStringList apps, QStringList texts = {})
{
    ClipRulePreferences rules;
    rules.blockedAppPatterns = std::move(apps);
    rules.blockedTextPatterns = std::move(texts);
    prefs.setJSON(rules, ClipRulePreferences::key);
}

PasteboardContents imageContents(int w = 40, const char *format = "PNG", const QString &type = PasteboardType::png)
{
    return dataContents(encoded(filled(w, 30), format), type);
}

// Recognition that waits until the test lets it go on.
struct HeldRecognition {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();

    void install(CaptureHarness &h, const QString &words)
    {
        h.recognizer = [released = released, words](const QByteArray &) {
            released.wait();
            return std::optional<QString>(words);
        };
    }
};

class MonitorTest : public ::testing::Test {
protected:
    MemoryPasteboard pasteboard;
    std::unique_ptr<CaptureHarness> h;

    void SetUp() override
    {
        pasteboard.simulateExternalCopy(textContents(u"was there before launch"_s));
        h = std::make_unique<CaptureHarness>(pasteboard);
    }
    void copy(const PasteboardContents &contents)
    {
        pasteboard.simulateExternalCopy(contents);
        h->monitor->checkPasteboard();
    }
};

} // namespace

TEST_F(MonitorTest, ContentPresentAtStartIsIgnoredAndEachChangeIsTakenOnceOnItsSignal)
{
    h->monitor->checkPasteboard();
    EXPECT_TRUE(h->captured.empty());

    pasteboard.simulateExternalCopy(textContents(u"fresh"_s));
    QCoreApplication::sendPostedEvents(); // queued calls only; no timer gets a turn
    ASSERT_EQ(h->captured.size(), 1u);
    EXPECT_EQ(h->captured[0]->text(), u"fresh"_s);
    h->monitor->checkPasteboard();
    EXPECT_EQ(h->captured.size(), 1u);
    EXPECT_EQ(h->history().size(), 1u);
}

TEST_F(MonitorTest, DeniedAccessMarkedAndSecretContentAreSkipped)
{
    pasteboard.setAccessBehavior(3);
    copy(textContents(u"denied"_s));
    pasteboard.setAccessBehavior(4); // not a known state: treated as not denied
    copy(textContents(u"unknown state"_s));

    for (const QString &marker : ClipboardMonitor::ignoredPasteboardTypes()) {
        PasteboardContents contents = textContents(u"hunter2 "_s + marker);
        contents.setData(QByteArray(), marker);
        copy(contents);
    }
    PasteboardContents secret = textContents(u"s3cr3t-password"_s);
    secret.setData("secret", passwordManagerHintMimeType);
    copy(secret);
    // The hint only hides what it calls secret.
    PasteboardContents hinted = textContents(u"ordinary words"_s);
    hinted.setData("public", passwordManagerHintMimeType);
    copy(hinted);

    ASSERT_EQ(h->captured.size(), 2u);
    EXPECT_EQ(h->captured[0]->text(), u"unknown state"_s);
    EXPECT_EQ(h->captured[1]->text(), u"ordinary words"_s);
}

TEST_F(MonitorTest, OwnWritesAreNeverCaptured)
{
    PasteboardWriter writer(pasteboard, h->center);
    ClipItem clip;
    clip.setText(u"pasted by us"_s);
    ASSERT_TRUE(writer.writeClip(clip));
    EXPECT_EQ(h->monitor->lastChangeCount(), pasteboard.changeCount());
    h->monitor->checkPasteboard();
    // A write that skipped the notice is still ours.
    pasteboard.clearContents();
    pasteboard.setString(u"quiet write"_s);
    h->monitor->checkPasteboard();
    EXPECT_TRUE(h->history().empty());

    // A notice without a usable count changes nothing.
    const qint64 before = h->monitor->lastChangeCount();
    h->center.post(ownPasteboardWriteNotification, nullptr, {{u"changeCount"_s, u"99"_s}});
    h->center.post(ownPasteboardWriteNotification, nullptr, {});
    EXPECT_EQ(h->monitor->lastChangeCount(), before);
    h->center.post(ownPasteboardWriteNotification, nullptr, {{u"changeCount"_s, 41}});
    EXPECT_EQ(h->monitor->lastChangeCount(), 41);
}

TEST_F(MonitorTest, ABlockedSourceApplicationStopsEveryKindOfContent)
{
    blockApps(*h->prefs, {u"keepass"_s});
    h->frontApp = FrontApplication{};
    h->frontApp->name = u"KeePassXC"_s;
    copy(textContents(u"password"_s));
    copy(imageContents());
    EXPECT_TRUE(h->waitForMediaTasks());
    EXPECT_TRUE(h->captured.empty());
    EXPECT_EQ(h->recognitions->load(), 0);

    h->frontApp->name = u"Text Editor"_s;
    h->frontApp->desktopFileId = u"org.gnome.TextEditor"_s;
    copy(textContents(u"notes"_s));
    ASSERT_EQ(h->captured.size(), 1u);
    EXPECT_EQ(h->captured[0]->sourceAppName(), u"Text Editor"_s);
    EXPECT_EQ(h->captured[0]->sourceAppBundleID(), u"org.gnome.TextEditor"_s);
}

// ---- Capture decisions ---------------------------------------------------------------------

TEST_F(MonitorTest, WebAddressesBecomeLinksAndEverythingElseText)
{
    const std::vector<std::tuple<QString, ClipKind, QString>> cases{
        {u"https://example.com/a?b=1"_s, ClipKind::url, u"https://example.com/a?b=1"_s},
        {u"  \nhttp://example.org/x \n"_s, ClipKind::url, u"http://example.org/x"_s},
        {u"see https://example.com"_s, ClipKind::text, u"see https://example.com"_s},
        {u"ftp://example.com/file"_s, ClipKind::text, u"ftp://example.com/file"_s},
        {u"example.com"_s, ClipKind::text, u"example.com"_s},
        {u"  indented text\n"_s, ClipKind::text, u"  indented text\n"_s},
    };
    for (const auto &[copied, kind, stored] : cases) {
        h->captured.clear();
        copy(textContents(copied));
        ASSERT_EQ(h->captured.size(), 1u) << copied.toStdString();
        EXPECT_EQ(h->captured[0]->kind(), kind) << copied.toStdString();
        EXPECT_EQ(h->captured[0]->text(), stored) << copied.toStdString();
    }
}

TEST_F(MonitorTest, RichTextPrefersRtfAndDropsOversizedRichData)
{
    PasteboardContents blank = textContents(u" \n\t "_s);
    blank.setData("{\\rtf1 }", PasteboardType::rtf);
    copy(blank);
    EXPECT_TRUE(h->captured.empty()) << "blank text is dropped even with rich data";

    PasteboardContents both = textContents(u"Bold words"_s);
    both.setData("<b>Bold</b> words", PasteboardType::html);
    both.setData("{\\rtf1 {\\b Bold} words}", PasteboardType::rtf);
    copy(both);
    ASSERT_EQ(h->captured.size(), 1u);
    EXPECT_EQ(h->captured[0]->text(), u"Bold words"_s);
    EXPECT_EQ(h->captured[0]->fileTypeIdentifier(), PasteboardType::rtf);
    EXPECT_EQ(h->captured[0]->fileData(), QByteArray("{\\rtf1 {\\b Bold} words}"));

    PasteboardContents huge = textContents(u"huge document"_s);
    huge.setData(QByteArray(PasteboardCapture::maxRichTextBytes + 1, 'x'), PasteboardType::html);
    copy(huge);
    ASSERT_EQ(h->captured.size(), 2u);
    EXPECT_EQ(h->captured[1]->text(), u"huge document"_s);
    EXPECT_FALSE(h->captured[1]->hasFileData());
    EXPECT_FALSE(h->captured[1]->fileTypeIdentifier());
}

TEST_F(MonitorTest, FileListsAreOneClipAndOnlyASingleImageFileGetsAPreview)
{
    QTemporaryDir dir;
    const QStringList paths{dir.filePath("a report.txt"), dir.filePath("b.pdf"), dir.filePath("c.odt")};
    PasteboardContents three = textContents(u"ignored when files are there"_s);
    three.setFileURLs({QUrl::fromLocalFile(paths[0]), QUrl::fromLocalFile(paths[1]), QUrl::fromLocalFile(paths[2])});
    copy(three);
    ASSERT_EQ(h->captured.size(), 1u);
    EXPECT_EQ(h->captured[0]->kind(), ClipKind::file);
    EXPECT_EQ(h->captured[0]->fileName(), u"3 files"_s);
    EXPECT_EQ(h->captured[0]->text(), paths.join('\n'));
    EXPECT_EQ(h->monitor->capture().pendingMediaTaskCount(), 0);

    const QString photo = dir.filePath(u"Holiday.JPG"_s);
    ASSERT_TRUE(filled(300, 200).save(photo, "JPG"));
    PasteboardContents one;
    one.setFileURLs({QUrl::fromLocalFile(photo)});
    copy(one);
    ASSERT_EQ(h->captured.size(), 2u);
    EXPECT_EQ(h->captured[1]->fileName(), u"Holiday.JPG"_s);
    ASSERT_TRUE(h->waitForMediaTasks());
    const ClipRef clip = h->history().front();
    EXPECT_EQ(clip->kind(), ClipKind::file);
    ASSERT_TRUE(clip->hasImageData());
    EXPECT_TRUE(clip->imageData()->startsWith(PasteboardCapture::pngSignature));
    EXPECT_EQ(clip->recognizedText(), u"recognised words"_s);
    EXPECT_EQ(h->captured.size(), 2u) << "late results do not announce the clip again";

    PasteboardContents text;
    text.setFileURLs({QUrl::fromLocalFile(dir.filePath(u"notes.txt"_s))});
    copy(text);
    EXPECT_EQ(h->monitor->capture().pendingMediaTaskCount(), 0);
}

TEST_F(MonitorTest, ImagesWithAndWithoutText)
{
    const PasteboardContents alone = imageContents();
    copy(alone);
    ASSERT_EQ(h->captured.size(), 1u);
    EXPECT_EQ(h->captured[0]->kind(), ClipKind::image);
    EXPECT_FALSE(h->captured[0]->text());
    EXPECT_EQ(h->captured[0]->imageData(), alone.data(PasteboardType::png));
    EXPECT_FALSE(h->captured[0]->recognizedText()) << "stored directly, recognised later";

    PasteboardContents withAddress = imageContents(41);
    withAddress.setString(u" https://example.com/cat.png "_s);
    copy(withAddress);
    ASSERT_EQ(h->captured.size(), 2u);
    EXPECT_EQ(h->captured[1]->kind(), ClipKind::image);
    EXPECT_EQ(h->captured[1]->text(), u"https://example.com/cat.png"_s);

    PasteboardContents withCaption = imageContents(42);
    withCaption.setString(u"Our cat, asleep"_s);
    copy(withCaption);
    ASSERT_EQ(h->captured.size(), 3u);
    EXPECT_EQ(h->captured[2]->kind(), ClipKind::text);
    EXPECT_EQ(h->captured[2]->text(), u"Our cat, asleep"_s);
    EXPECT_TRUE(h->captured[2]->hasImageData());

    ASSERT_TRUE(h->waitForMediaTasks());
    for (const ClipRef &clip : h->history())
        EXPECT_EQ(clip->recognizedText(), u"recognised words"_s);

    // Recognition that finds nothing still completes the clip.
    h->recognizer = [](const QByteArray &) { return std::optional<QString>(); };
    copy(imageContents(43));
    ASSERT_TRUE(h->waitForMediaTasks());
    EXPECT_EQ(h->recognitions->load(), 4);
    ASSERT_EQ(h->history().size(), 4u);
    EXPECT_FALSE(h->history().front()->recognizedText());
}

TEST_F(MonitorTest, OnlyARealPngWithinTheCapIsStoredAsItIs)
{
    // Exactly at the cap with the signature: stored without decoding (these bytes would not decode).
    QByteArray atCap = PasteboardCapture::pngSignature;
    atCap.append(QByteArray(PasteboardCapture::maxImageBytes - atCap.size(), '\0'));
    copy(dataContents(atCap, PasteboardType::png));
    ASSERT_EQ(h->captured.size(), 1u);
    EXPECT_EQ(h->captured[0]->imageDataSize(), PasteboardCapture::maxImageBytes);

    // One byte more goes through conversion, which fails to decode it: dropped.
    copy(dataContents(atCap + '\1', PasteboardType::png));
    ASSERT_TRUE(h->waitForMediaTasks());
    EXPECT_EQ(h->captured.size(), 1u);

    // JPEG bytes offered as PNG are converted to a real PNG, with text recognised on the way.
    copy(imageContents(40, "JPG"));
    EXPECT_EQ(h->captured.size(), 1u) << "a converted image arrives later";
    ASSERT_TRUE(h->waitForMediaTasks());
    ASSERT_EQ(h->captured.size(), 2u);
    EXPECT_TRUE(h->captured[1]->imageData()->startsWith(PasteboardCapture::pngSignature));
    EXPECT_EQ(h->captured[1]->recognizedText(), u"recognised words"_s);

    // TIFF, the other type asked for, is converted the same way.
    copy(imageContents(50, "TIFF", PasteboardType::tiff));
    ASSERT_TRUE(h->waitForMediaTasks());
    ASSERT_EQ(h->captured.size(), 3u);
    EXPECT_EQ(h->captured[2]->kind(), ClipKind::image);
}

TEST_F(MonitorTest, ARuleAddedDuringConversionStillBlocksTheImage)
{
    HeldRecognition held;
    held.install(*h, u"Quarterly payroll"_s);
    copy(imageContents(40, "TIFF", PasteboardType::tiff));

    blockApps(*h->prefs, {}, {u"payroll"_s});
    held.release.set_value();
    ASSERT_TRUE(h->waitForMediaTasks());
    EXPECT_TRUE(h->captured.empty());
    EXPECT_TRUE(h->history().empty());
}

TEST_F(MonitorTest, DestroyingTheMonitorWhileWorkRunsStoresNothingLater)
{
    HeldRecognition held;
    held.install(*h, u"late"_s);
    copy(imageContents(40, "TIFF", PasteboardType::tiff));
    ASSERT_EQ(h->monitor->capture().pendingMediaTaskCount(), 1);

    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        held.release.set_value();
    });
    h->monitor.reset(); // waits for the running task, which finds itself cancelled
    releaser.join();
    QTest::qWait(50);
    EXPECT_TRUE(h->history().empty());
}
