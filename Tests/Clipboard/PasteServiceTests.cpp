#include "PasteFakes.h"

#include "Quillmere/Clipboard/PasteService.h"
#include "Quillmere/Model/Records.h"
#include "Quillmere/Platform/NotificationCenter.h"
#include "Quillmere/Platform/Pasteboard.h"

#include <QBuffer>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::test;

namespace {

constexpr int settle = 2000; // upper bound for the shortened waits below to run their course

struct PasteHarness {
    MemoryPasteboard pasteboard;
    NotificationCenter center;
    FakeKeyInjector keys;
    FakeWindowActivator windows;
    QTemporaryDir temp;
    int beeps = 0;
    std::vector<qint64> adopted;
    QList<QVariantMap> notices;
    std::unique_ptr<PasteService> service;

    explicit PasteHarness(PasteTimings timings = quick())
    {
        center.addObserver(ownPasteboardWriteNotification, nullptr, [this](const Notification &n) {
            // Observers run inside the post, before the content is written.
            EXPECT_EQ(n.userInfo.value(ownPasteboardWriteChangeCountKey).toLongLong(), pasteboard.changeCount());
            EXPECT_TRUE(pasteboard.contents().isEmpty());
            notices << n.userInfo;
        });
        PasteServiceDependencies deps;
        deps.pasteboard = &pasteboard;
        deps.notificationCenter = &center;
        deps.keys = &keys;
        deps.windows = &windows;
        deps.adoptChangeCount = [this](qint64 count) { adopted.push_back(count); };
        deps.beep = [this] { ++beeps; };
        deps.clock = [] { return QDateTime(QDate(2026, 3, 1), QTime(12, 0), Qt::UTC); };
        deps.ownProcessId = 4242;
        deps.temporaryRoot = temp.path();
        deps.timings = timings;
        service = std::make_unique<PasteService>(std::move(deps));
    }

    static PasteTimings quick()
    {
        PasteTimings t;
        t.keystrokeDelay = 5;
        t.activationInterval = 2;
        t.caretBackDelay = 2;
        t.modifierPollInterval = 2;
        return t;
    }

    void copyFromElsewhere(const QString &text)
    {
        PasteboardContents c;
        c.setString(text);
        pasteboard.simulateExternalCopy(c);
    }
};

std::unique_ptr<ClipItem> textClip(const QString &text)
{
    auto clip = std::make_unique<ClipItem>();
    clip->setKind(ClipKind::text);
    clip->setText(text);
    return clip;
}

QByteArray pngBytes()
{
    QImage image(4, 4, QImage::Format_ARGB32);
    image.fill(Qt::red);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

const PasteService::PasteTarget target{{7, 700}};

} // namespace

TEST(PasteService, TemplateFillsClipboardAndCountsCaretBackOnlyWhenTrusted)
{
    PasteHarness h;
    h.copyFromElsewhere(QStringLiteral("Ann"));
    const auto clip = textClip(QStringLiteral("Dear {clipboard},{cursor} regards"));
    EXPECT_EQ(h.service->writeToPasteboard(*clip), 8);
    EXPECT_EQ(h.pasteboard.string(), QStringLiteral("Dear Ann, regards"));

    h.keys.trusted = false;
    h.copyFromElsewhere(QStringLiteral("Ann"));
    EXPECT_EQ(h.service->writeToPasteboard(*clip), 0);
    EXPECT_EQ(h.pasteboard.string(), QStringLiteral("Dear Ann, regards"));
    h.service->deliverPaste(target, 0);
    QTest::qWait(50);
    EXPECT_TRUE(h.keys.sent.isEmpty());
    EXPECT_EQ(h.windows.activations, 0);
}

TEST(PasteService, FieldsStayLiteralAndPlainTextIsWrittenAsStored)
{
    PasteHarness h;
    EXPECT_EQ(h.service->writeToPasteboard(*textClip(QStringLiteral("{field:Name} and {date:yyyy}"))), 0);
    EXPECT_EQ(h.pasteboard.string(), QStringLiteral("{field:Name} and 2026"));

    // No placeholder: the escape stays as typed.
    h.service->writeToPasteboard(*textClip(QStringLiteral("a \\{b}")));
    EXPECT_EQ(h.pasteboard.string(), QStringLiteral("a \\{b}"));

    // Stored rich text is not pasted; it would not match the string.
    auto rich = textClip(QStringLiteral("Hi {cursor}"));
    rich->setFileData(QByteArray("<b>Hi {cursor}</b>"));
    rich->setFileTypeIdentifier(PasteboardType::html);
    h.service->writeToPasteboard(*rich);
    EXPECT_EQ(h.pasteboard.contents().types(), QStringList{PasteboardType::string});
    EXPECT_EQ(h.pasteboard.string(), QStringLiteral("Hi "));
}

TEST(PasteService, EveryWriteIsAnnouncedAndAdoptedWithoutFeedback)
{
    PasteHarness h;
    h.service->writeToPasteboard(*textClip(QStringLiteral("one")));
    h.service->writeText(QString());
    ASSERT_EQ(h.notices.size(), 2);
    for (const QVariantMap &info : h.notices)
        EXPECT_EQ(info.keys(), QStringList{ownPasteboardWriteChangeCountKey});
    EXPECT_EQ(h.adopted, (std::vector<qint64>{h.pasteboard.changeCount() - 1, h.pasteboard.changeCount()}));
    // An empty plain text is still written.
    EXPECT_EQ(h.pasteboard.string(), QString());
}

TEST(PasteService, NothingToWriteLeavesClipboardAloneBeepsAndSendsNoKey)
{
    PasteHarness h;
    h.copyFromElsewhere(QStringLiteral("keep me"));
    const int clears = h.pasteboard.clearCount();

    ClipItem emptyURL;
    emptyURL.setKind(ClipKind::url);
    emptyURL.setText(QString());
    ClipItem bareImage;
    bareImage.setKind(ClipKind::image);
    ClipItem lostFile;
    lostFile.setKind(ClipKind::file);
    lostFile.setText(QStringLiteral("/nonexistent/quillmere/report.pdf"));
    const auto emptyText = textClip(QString());
    for (const ClipItem *clip : {&emptyURL, &bareImage, &lostFile, emptyText.get()}) {
        EXPECT_FALSE(h.service->writeToPasteboard(*clip)) << qPrintable(clip->kindRawValue());
    }
    EXPECT_EQ(h.beeps, 4);
    EXPECT_EQ(h.pasteboard.clearCount(), clears);
    EXPECT_EQ(h.pasteboard.string(), QStringLiteral("keep me"));
    EXPECT_TRUE(h.notices.isEmpty());
}

TEST(PasteService, ImageAndFileClips)
{
    PasteHarness h;
    ClipItem image;
    image.setKind(ClipKind::image);
    image.setText(QStringLiteral("caption"));
    image.setImageData(pngBytes());
    EXPECT_EQ(h.service->writeToPasteboard(image), 0);
    EXPECT_EQ(h.pasteboard.string(), QStringLiteral("caption"));
    EXPECT_TRUE(h.pasteboard.contents().hasType(PasteboardType::png));
    EXPECT_TRUE(h.pasteboard.contents().hasType(PasteboardType::tiff));

    // A file gone from its path comes back from the stored copy.
    ClipItem file;
    file.setKind(ClipKind::file);
    file.setText(QStringLiteral("/nonexistent/quillmere/notes.txt"));
    file.setFileName(QStringLiteral("notes.txt"));
    file.setFileData(QByteArray("stored notes"));
    EXPECT_EQ(h.service->writeToPasteboard(file), 0);
    ASSERT_EQ(h.pasteboard.readFileURLs().size(), 1);
    QFile copy(h.pasteboard.readFileURLs().first().toLocalFile());
    ASSERT_TRUE(copy.open(QIODevice::ReadOnly));
    EXPECT_EQ(copy.readAll(), QByteArray("stored notes"));
    EXPECT_TRUE(copy.fileName().startsWith(h.temp.path()));
}

TEST(PasteService, FrontmostTargetGetsChordThenCaretBackWithoutActivationRequests)
{
    PasteHarness h;
    h.windows.active = target.app;
    h.service->deliverPaste(target, 3);
    EXPECT_EVENTUALLY_EQ(h.keys.sent, (QStringList{QStringLiteral("paste"), QStringLiteral("left 3")}), settle);
    EXPECT_EQ(h.windows.activations, 1); // the request before the first check
}

TEST(PasteService, TargetIsBroughtBackBeforeThePaste)
{
    PasteHarness h;
    h.windows.active = WindowTarget{9, 900};
    h.windows.requestsBeforeActivation = 3;
    h.service->deliverPaste(target, 0);
    EXPECT_EVENTUALLY_EQ(h.keys.sent, QStringList{QStringLiteral("paste")}, settle);
    EXPECT_EQ(h.windows.active, target.app);
    EXPECT_EQ(h.windows.activations, 4);
}

TEST(PasteService, TargetThatNeverComesBackStillGetsThePasteAfterTheLastAttempt)
{
    PasteHarness h;
    h.windows.active = WindowTarget{9, 900};
    h.windows.requestsBeforeActivation = -1;
    h.service->deliverPaste(target, 0);
    EXPECT_EVENTUALLY_EQ(h.keys.sent, QStringList{QStringLiteral("paste")}, settle);
    EXPECT_EQ(h.windows.activations, 1 + h.service->timings().activationAttempts);
}

TEST(PasteService, ClosedOrMissingTargetPastesIntoWhateverIsInFront)
{
    PasteHarness h;
    h.windows.closed.insert(target.app.window);
    h.service->deliverPaste(target, 0);
    h.service->deliverPaste(std::nullopt, 2);
    EXPECT_EVENTUALLY_EQ(h.keys.sent.size(), 3, settle);
    EXPECT_EQ(h.keys.sent.count(QStringLiteral("paste")), 2);
    EXPECT_EQ(h.windows.activations, 0);
}

TEST(PasteService, ChordWaitsForHeldModifiers)
{
    PasteTimings timings = PasteHarness::quick();
    timings.modifierWaitLimit = 60 * 1000;
    PasteHarness h(timings);
    h.keys.holdModifiers = true;
    h.service->deliverPaste(std::nullopt, 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return h.keys.modifierPolls >= 3; }, settle));
    EXPECT_TRUE(h.keys.sent.isEmpty());
    h.keys.holdModifiers = false;
    EXPECT_EVENTUALLY_EQ(h.keys.sent, QStringList{QStringLiteral("paste")}, settle);

    // A modifier stuck down for good does not block the paste forever.
    PasteTimings shortWait = PasteHarness::quick();
    shortWait.modifierWaitLimit = 10;
    PasteHarness stuck(shortWait);
    stuck.keys.holdModifiers = true;
    stuck.service->deliverPaste(std::nullopt, 0);
    EXPECT_EVENTUALLY_EQ(stuck.keys.sent, QStringList{QStringLiteral("paste")}, settle);
}

TEST(PasteService, PendingKeystrokeDiesWithTheService)
{
    PasteHarness h;
    h.service->deliverPaste(std::nullopt, 1);
    h.service.reset();
    QTest::qWait(50);
    EXPECT_TRUE(h.keys.sent.isEmpty());
}

TEST(PasteService, FrontmostTargetExcludesOurOwnAndVanishedWindows)
{
    PasteHarness h;
    EXPECT_FALSE(h.service->frontmostTarget());
    h.windows.active = WindowTarget{5, 4242};
    EXPECT_FALSE(h.service->frontmostTarget());
    EXPECT_TRUE(h.service->activeTarget());
    h.windows.active = WindowTarget{6, 600};
    EXPECT_EQ(h.service->frontmostTarget(), (PasteService::PasteTarget{{6, 600}}));
    h.windows.closed.insert(6);
    EXPECT_FALSE(h.service->frontmostTarget());
}
