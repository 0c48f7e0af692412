#include "Capture/Upload/UploadTestSupport.h"
#include "CaptureFixture.h"

#include "Quillmere/Capture/OCRAreaCaptureService.h"
#include "Quillmere/Capture/ScreenshotCaptureService.h"
#include "Quillmere/Model/ClipCaptureRules.h"
#include "Quillmere/Platform/Core/PreferenceKeys.h"

#include <gtest/gtest.h>

using namespace quillmere;
using test::CaptureServiceHarness;
using test::FakeTool;
using test::LogCapture;

TEST(ScreenshotToolRunner, EachFileLivesInAPrivateFolderThatGoesWithTheRun)
{
    CaptureServiceHarness h;
    FakeTool fake;
    const QByteArray png = test::png(32, 24);
    ScreenshotToolRunner runner(h.toolOptions(fake.writing(png)));

    std::optional<QByteArray> area, full;
    int completions = 0;
    ASSERT_EQ(runner.capture(true, [&](std::optional<QByteArray> b) { area = b, ++completions; }).status,
              ScreenshotToolRunner::Launch::started);
    ASSERT_TRUE(test::waitUntil([&] { return completions == 1; }));
    ASSERT_EQ(runner.capture(false, [&](std::optional<QByteArray> b) { full = b, ++completions; }).status,
              ScreenshotToolRunner::Launch::started);
    ASSERT_TRUE(test::waitUntil([&] { return completions == 2; }));
    EXPECT_EQ(area, png);
    EXPECT_EQ(full, png);

    // "-i" and the file for an area, the file alone for the screen; a 0700 folder whose name
    // nobody can guess, gone afterwards with the file.
    const QStringList calls = fake.calls();
    ASSERT_EQ(calls.size(), 2);
    const QStringList first = calls[0].split(' ');
    ASSERT_EQ(first.size(), 3);
    EXPECT_EQ(first[0], "-i");
    EXPECT_EQ(first[2], "700");
    EXPECT_TRUE(QFileInfo(first[1]).fileName().startsWith("quillmere-capture-"));
    EXPECT_TRUE(first[1].endsWith(".png"));
    const QStringList second = calls[1].split(' ');
    ASSERT_EQ(second.size(), 2);
    EXPECT_NE(QFileInfo(first[1]).dir().dirName(), QFileInfo(second[0]).dir().dirName());
    EXPECT_TRUE(h.leftovers().isEmpty()) << h.leftovers().join(' ').toStdString();
}

TEST(ScreenshotToolRunner, HungToolIsEndedAndASecondSelectionIsRefused)
{
    CaptureServiceHarness h;
    FakeTool fake;
    auto options = h.toolOptions(fake.script("hung", "echo partial > \"$out\"; exec sleep 600"));
    options.interactiveTimeoutMs = 300;
    ScreenshotToolRunner runner(options);

    std::optional<std::optional<QByteArray>> result;
    ASSERT_EQ(runner.capture(true, [&](std::optional<QByteArray> b) { result = b; }).status,
              ScreenshotToolRunner::Launch::started);
    EXPECT_TRUE(runner.isSelecting());
    EXPECT_EQ(runner.capture(true, [](std::optional<QByteArray>) { ADD_FAILURE(); }).status,
              ScreenshotToolRunner::Launch::refusedWhileSelecting);
    EXPECT_EQ(runner.capture(false, [](std::optional<QByteArray>) { ADD_FAILURE(); }).status,
              ScreenshotToolRunner::Launch::refusedWhileSelecting);

    // Ended after the time-out: nothing is reported, not even what it wrote, and nothing stays.
    ASSERT_TRUE(test::waitUntil([&] { return result.has_value(); }, 10000));
    EXPECT_FALSE(*result);
    EXPECT_EQ(runner.runningCount(), 0);
    EXPECT_TRUE(h.leftovers().isEmpty());
    EXPECT_EQ(fake.calls().size(), 1);

    ScreenshotToolRunner missing(h.toolOptions(fake.dir() + "/no-such-tool"));
    const auto launch = missing.capture(false, [](std::optional<QByteArray>) { ADD_FAILURE(); });
    EXPECT_EQ(launch.status, ScreenshotToolRunner::Launch::failed);
    EXPECT_FALSE(launch.error.isEmpty());
    EXPECT_TRUE(h.leftovers().isEmpty());
}

TEST(ScreenshotCapture, ImageGoesToTheClipboardAtOnceAndIsStoredWithItsText)
{
    CaptureServiceHarness h;
    FakeTool fake;
    const QByteArray png = test::png(64, 48, Qt::darkMagenta);
    ScreenshotToolRunner runner(h.toolOptions(fake.writing(png)));
    ScreenshotCaptureService service(h.context(&runner));
    std::vector<std::pair<ClipRef, quint64>> reported;
    service.setOnCaptured([&](const ClipRef &clip, ScreenshotClipboardOutput output, quint64 g) {
        EXPECT_EQ(output, ScreenshotClipboardOutput::screenshot);
        reported.emplace_back(clip, g);
    });

    service.startFullScreenCapture(++service.captureGeneration().next);
    ASSERT_TRUE(test::waitUntil([&] { return reported.size() == 1; }));
    const ClipRef clip = reported[0].first;
    EXPECT_EQ(reported[0].second, 1u);
    EXPECT_EQ(clip->kind(), ClipKind::image);
    EXPECT_EQ(clip->imageData(), png) << "a valid PNG within the cap is stored as it came";
    EXPECT_EQ(clip->sourceAppName(), ScreenshotCaptureService::sourceAppName);
    EXPECT_EQ(clip->sourceAppBundleID(), QString("com.orvantide.quillmere"));
    EXPECT_EQ(h.pasteboard.data(PasteboardType::png), png);
    EXPECT_TRUE(h.pasteboard.types().contains(PasteboardType::tiff));
    ASSERT_EQ(h.ownWrites.size(), 1);
    EXPECT_EQ(h.ownWrites[0].value("changeCount").toLongLong(), h.pasteboard.changeCount());
    EXPECT_EQ(h.ownWrites[0].value("feedback").toString(), "standard");
    EXPECT_TRUE(test::waitUntil([&] { return clip->recognizedText() == QString("words"); }));
    EXPECT_EQ(h.beeps, 0);
}

TEST(ScreenshotCapture, OnlyTheNewestCaptureTouchesTheClipboard)
{
    CaptureServiceHarness h;
    ScreenshotToolRunner runner(h.toolOptions("/nonexistent"));
    ScreenshotCaptureService service(h.context(&runner));
    int reported = 0;
    service.setOnCaptured([&](const ClipRef &, ScreenshotClipboardOutput, quint64) { ++reported; });
    LatestCaptureGeneration &g = service.captureGeneration();
    g.next = 2;
    const QByteArray first = test::png(10, 10, Qt::red), second = test::png(10, 10, Qt::blue);

    service.handleCapturedImage(second, 2);
    service.handleCapturedImage(first, 1);
    EXPECT_EQ(g.current, 2u);
    EXPECT_EQ(h.pasteboard.data(PasteboardType::png), second);
    ASSERT_TRUE(test::waitUntil([&] { return reported == 2; }));
    EXPECT_EQ(h.history().size(), 2u) << "the older capture is stored all the same";

    service.handleCapturedImage(first, 9);
    EXPECT_EQ(g.current, 2u) << "a generation past `next` is never taken";

    // With the link output nothing goes to the clipboard now.
    h.prefs->setString(PreferenceKeys::screenshotClipboardOutput, "shareLink");
    g.next = 3;
    const qint64 count = h.pasteboard.changeCount();
    service.handleCapturedImage(test::png(12, 12), 3);
    EXPECT_EQ(h.pasteboard.changeCount(), count);
    h.prefs->setString(PreferenceKeys::screenshotClipboardOutput, "ShareLink");
    EXPECT_EQ(screenshotClipboardOutput(*h.prefs), ScreenshotClipboardOutput::screenshot);
}

TEST(ScreenshotCapture, EmptyBrokenOrUndecodableImagesNeverBecomeClips)
{
    CaptureServiceHarness h;
    FakeTool fake;
    const QByteArray png = test::png(200, 120, Qt::darkGreen);
    int reported = 0;
    for (const QByteArray &bytes : {QByteArray(), png.left(60), QByteArray("not an image at all")}) {
        ScreenshotToolRunner runner(h.toolOptions(fake.writing(bytes)));
        ScreenshotCaptureService service(h.context(&runner));
        service.setOnCaptured([&](const ClipRef &, ScreenshotClipboardOutput, quint64) { ++reported; });
        const int beeps = h.beeps;
        service.startAreaCapture(++service.captureGeneration().next);
        ASSERT_TRUE(test::waitUntil([&] { return runner.runningCount() == 0; }));
        // Each ends with one beep; an empty file is no cancelled selection (that leaves none) but
        // what a full disk can leave.
        EXPECT_TRUE(test::waitUntil([&] { return h.beeps == beeps + 1; }));
        EXPECT_TRUE(h.leftovers().isEmpty()) << "the file goes even when it does not decode";
    }
    QTest::qWait(50);
    EXPECT_EQ(reported, 0);
    EXPECT_TRUE(h.history().empty());
    EXPECT_EQ(h.beeps, 3);

    // Launch failure: a beep and nothing else.
    ScreenshotToolRunner missing(h.toolOptions(fake.dir() + "/missing"));
    ScreenshotCaptureService service(h.context(&missing));
    service.startAreaCapture(1);
    EXPECT_EQ(h.beeps, 4);
}

TEST(ScreenshotCapture, AToolThatFailsIsShownWithItsReasonAndACancelStaysQuiet)
{
    CaptureServiceHarness h;
    FakeTool fake;
    struct Run {
        const char *name;
        const char *body;
        const char *reason; // nullptr: a cancel, nothing shown
    };
    const Run runs[] = {
        // What the tool says when the temporary folder is full, and what a full disk can leave.
        {"full", "echo \"quillmere-screenshot: could not write $out: No space left on device\" >&2; exit 1",
         "No space left on device"},
        {"empty", ": > \"$out\"", "empty picture"},
        {"crash", "kill -SEGV $$", "stopped unexpectedly"},
        {"cancel", "echo 'qt.qpa.xcb: a warning of Qt' >&2; exit 1", nullptr},
    };
    for (const Run &run : runs) {
        ScreenshotToolRunner runner(h.toolOptions(fake.script(run.name, run.body)));
        CaptureServiceContext context = h.context(&runner);
        QStringList shown;
        context.showFailure = [&](const QString &title, const QString &reason) { shown << title + ": " + reason; };
        ScreenshotCaptureService service(context);
        const int beeps = h.beeps;
        service.startFullScreenCapture(++service.captureGeneration().next);
        ASSERT_TRUE(test::waitUntil([&] { return runner.runningCount() == 0; }));
        if (!run.reason) {
            QTest::qWait(100);
            EXPECT_TRUE(shown.isEmpty()) << qPrintable(shown.join('\n'));
            EXPECT_EQ(h.beeps, beeps);
            continue;
        }
        ASSERT_TRUE(test::waitUntil([&] { return !shown.isEmpty(); })) << run.name;
        ASSERT_EQ(shown.size(), 1);
        EXPECT_TRUE(shown[0].startsWith(ScreenshotCaptureService::failureTitle));
        EXPECT_TRUE(shown[0].contains(run.reason)) << qPrintable(shown[0]);
        EXPECT_FALSE(shown[0].contains("quillmere-capture-")) << "the private file's name is no help to the user";
        EXPECT_EQ(h.beeps, beeps + 1);
        EXPECT_TRUE(h.leftovers().isEmpty());
    }
    EXPECT_TRUE(h.history().empty());
}

TEST(ScreenshotToolRunner, OutputOverTheCapIsRefusedAndLogged)
{
    CaptureServiceHarness h;
    FakeTool fake;
    // Sparse: 600 MB that take no room.
    ScreenshotToolRunner runner(h.toolOptions(fake.script("huge", "truncate -s 600M \"$out\"")));
    LogCapture log;
    std::optional<std::optional<QByteArray>> result;
    QString failure;
    ASSERT_EQ(runner
                  .capture(
                      false, [&](std::optional<QByteArray> bytes) { result = std::move(bytes); },
                      [&](const QString &reason) { failure = reason; })
                  .status,
              ScreenshotToolRunner::Launch::started);
    ASSERT_TRUE(test::waitUntil([&] { return result.has_value(); }, 10000));
    EXPECT_FALSE(*result);
    EXPECT_TRUE(failure.contains("over the limit")) << qPrintable(failure);
    EXPECT_TRUE(log.all().contains("629145600 bytes is over the limit")) << qPrintable(log.all());
    EXPECT_TRUE(h.leftovers().isEmpty());
}

TEST(ScreenshotCapture, NormalisedPNGStaysWithinTheCap)
{
    const QByteArray png = test::encoded(test::paintedLines({"cap test"}));
    EXPECT_EQ(ScreenshotCaptureService::normalizedPNG(png, png.size()), png);
    const auto smaller = ScreenshotCaptureService::normalizedPNG(png, png.size() - 1);
    ASSERT_TRUE(smaller);
    EXPECT_LE(smaller->size(), png.size() - 1);
    EXPECT_EQ(QImage::fromData(*smaller).width(), test::paintedLines({"cap test"}).width() / 2);
    // Another format is re-encoded as PNG.
    const auto fromJpeg = ScreenshotCaptureService::normalizedPNG(test::encoded(test::filled(30, 20), "JPG"), 1 << 20);
    ASSERT_TRUE(fromJpeg);
    EXPECT_TRUE(fromJpeg->startsWith("\x89PNG"));
    EXPECT_FALSE(ScreenshotCaptureService::normalizedPNG(png.left(png.size() - 20), 1 << 20));
}

TEST(OCRAreaCapture, RecognisedTextReplacesTheClipboardAndBecomesATextClip)
{
    CaptureServiceHarness h;
    FakeTool fake;
    ScreenshotToolRunner runner(h.toolOptions(fake.writing(test::png(50, 20))));
    OCRAreaCaptureService service(h.context(&runner, QStringLiteral("Invoice 4471\nDue Friday")));
    std::vector<ClipRef> reported;
    service.setOnCaptured([&](const ClipRef &clip) { reported.push_back(clip); });

    service.start();
    ASSERT_TRUE(test::waitUntil([&] { return reported.size() == 1; }));
    QStringList types = h.pasteboard.types();
    types.removeAll(ownerMimeType);
    EXPECT_EQ(types, QStringList{PasteboardType::string});
    EXPECT_EQ(h.pasteboard.string(), QString("Invoice 4471\nDue Friday"));
    ASSERT_EQ(h.ownWrites.size(), 1);
    EXPECT_EQ(h.ownWrites[0].value("changeCount").toLongLong(), h.pasteboard.changeCount());
    EXPECT_EQ(h.ownWrites[0].value("feedback").toString(), "standard");
    EXPECT_EQ(reported[0]->kind(), ClipKind::text);
    EXPECT_EQ(reported[0]->text(), QString("Invoice 4471\nDue Friday"));
    EXPECT_EQ(reported[0]->sourceAppName(), QString("Quillmere OCR"));
    EXPECT_EQ(reported[0]->sourceAppBundleID(), QString("com.orvantide.quillmere"));
    EXPECT_EQ(h.beeps, 0);

    // Nothing recognised: one beep, clipboard and history as they were.
    const qint64 count = h.pasteboard.changeCount();
    service.insertRecognizedText(std::nullopt);
    service.insertRecognizedText(QString());
    EXPECT_EQ(h.beeps, 2);
    EXPECT_EQ(h.pasteboard.changeCount(), count);
    EXPECT_EQ(h.history().size(), 1u);

    // A capture rule that refuses the OCR clip still leaves the text on the clipboard.
    ClipRulePreferences rules;
    rules.blockedAppPatterns = {"Quillmere OCR"};
    h.prefs->setJSON(rules, ClipRulePreferences::key);
    service.insertRecognizedText(QStringLiteral("kept off the history"));
    EXPECT_EQ(h.pasteboard.string(), QString("kept off the history"));
    EXPECT_EQ(reported.size(), 1u);
    EXPECT_EQ(h.history().size(), 1u);
}

TEST(OCRAreaCapture, CancelledSelectionChangesNothingAndMakesNoSound)
{
    CaptureServiceHarness h;
    FakeTool fake;
    ScreenshotToolRunner runner(h.toolOptions(fake.script("cancel", "exit 1")));
    OCRAreaCaptureService service(h.context(&runner));
    service.start();
    ASSERT_TRUE(test::waitUntil([&] { return runner.runningCount() == 0; }));
    QTest::qWait(50);
    EXPECT_EQ(*h.recognitions, 0);
    EXPECT_EQ(h.beeps, 0);
    EXPECT_EQ(h.pasteboard.changeCount(), 0);
    EXPECT_TRUE(h.history().empty());
}
