#include "Quillmere/App/CaptureFollowUps.h"

#include "Quillmere/App/CopyFeedback.h"
#include "Quillmere/Platform/Core/Notices.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/SoundPlayer.h"
#include "Support/TestSupport.h"

#include <QElapsedTimer>
#include <QSemaphore>
#include <QTemporaryFile>
#include <QTest>
#include <cstdio>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include <unistd.h>

using namespace quillmere;

namespace {

// What the process writes to stderr while `body` runs.
template <typename Body> QByteArray stderrDuring(Body body)
{
    QTemporaryFile capture;
    if (!capture.open())
        return "cannot capture stderr";
    std::fflush(stderr);
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(capture.handle(), STDERR_FILENO);
    body();
    std::fflush(stderr);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    capture.seek(0);
    return capture.readAll();
}

// Sounds play on a thread of their own: what was played is read once `count` came.
struct RecordingSounds : SoundPlayer {
    std::mutex mutex;
    QStringList heard;
    void play(const QString &name) override
    {
        std::lock_guard lock(mutex);
        heard << name;
    }
    QStringList played(qsizetype count)
    {
        const auto arrived = [&] {
            std::lock_guard lock(mutex);
            return heard.size() >= count;
        };
        if (!QTest::qWaitFor(arrived, 2000) || count == 0)
            QTest::qWait(100); // none due: any that comes would come by now
        std::lock_guard lock(mutex);
        return heard;
    }
    void clear()
    {
        std::lock_guard lock(mutex);
        heard.clear();
    }
};

struct Fixture {
    test::TempPreferences prefs;
    RecordingSounds sounds;
    NotificationCenter center;
    QList<bool> icons;
    QStringList calls;
    bool recording = false;
    CopyFeedback feedback{*prefs, sounds, {[this] { return recording; }, [this](bool copied) { icons << copied; }}};
    CaptureFollowUps followUps{feedback,
                               center,
                               {[this](const ClipRef &) { calls << "register"; },
                                [this](const ClipRef &) { calls << "coordinator"; },
                                [this](const ClipRef &) { calls << "link"; }}};
};

ClipRef clipOfKind(ClipKind kind)
{
    auto clip = std::make_shared<ClipItem>();
    clip->setKind(kind);
    return clip;
}

} // namespace

TEST(CaptureFollowUps, CapturedClipRunsEveryStepAndOnlyLinksFetchPreviews)
{
    Fixture f;
    int captured = 0;
    f.center.addObserver(Notices::clipCaptured, nullptr, [&](const Notification &) { ++captured; });
    f.followUps.clipCaptured(clipOfKind(ClipKind::url));
    EXPECT_EQ(f.calls, (QStringList{"register", "coordinator", "link"}));
    EXPECT_EQ(f.sounds.played(1), QStringList{"Pop"});
    EXPECT_EQ(f.icons, QList<bool>{true});
    EXPECT_EQ(captured, 1);

    f.calls.clear();
    for (ClipKind kind : {ClipKind::text, ClipKind::image, ClipKind::file})
        f.followUps.clipCaptured(clipOfKind(kind));
    EXPECT_FALSE(f.calls.contains("link"));
}

TEST(CopyFeedback, SoundSettingAndUploadFeedback)
{
    Fixture f;
    f.feedback.handleOwnPasteboardWrite({"quillmere.ownPasteboardWrite", nullptr, {{"feedback", "uploadComplete"}}});
    f.feedback.handleOwnPasteboardWrite({"quillmere.ownPasteboardWrite", nullptr, {{"feedback", 3}}});
    f.feedback.handleOwnPasteboardWrite({"quillmere.ownPasteboardWrite", nullptr, {}});
    EXPECT_EQ(f.sounds.played(3), (QStringList{"Glass", "Pop", "Pop"}));

    f.prefs->setString("copySoundEnabled", "no"); // not a flag: still on
    EXPECT_TRUE(f.feedback.copySoundIsEnabled());
    f.prefs->setBool("copySoundEnabled", false);
    f.sounds.clear();
    f.icons.clear();
    f.followUps.clipCaptured(clipOfKind(ClipKind::text));
    EXPECT_TRUE(f.sounds.played(0).isEmpty());
    EXPECT_EQ(f.icons, QList<bool>{true}) << "the check mark flashes without sound";
}

TEST(CopyFeedback, LastOfQuickFlashesWinsAndRecordingKeepsTheIcon)
{
    Fixture f;
    f.feedback.flashCopiedIcon();
    QTest::qWait(300);
    f.feedback.flashCopiedIcon();
    QTest::qWait(500); // the first restore is due now but is stale
    EXPECT_EQ(f.icons, (QList<bool>{true, true}));
    QTest::qWait(400);
    EXPECT_EQ(f.icons, (QList<bool>{true, true, false}));

    f.icons.clear();
    f.recording = true;
    f.followUps.clipCaptured(clipOfKind(ClipKind::text));
    EXPECT_TRUE(f.icons.isEmpty());
    EXPECT_EQ(f.sounds.played(1), QStringList{"Pop"}) << "the sound still plays";
}

// A sound device that takes its time to open (a driver loading, a retry after a failure) holds
// up no capture: the sound is played on a thread of its own, in order, a burst's excess dropped.
TEST(CopyFeedback, TheSoundIsOpenedAndPlayedOffTheCaptureThread)
{
    struct SlowSounds : SoundPlayer {
        QSemaphore open;
        std::mutex mutex;
        QStringList heard;
        bool onCaller = false;
        std::thread::id caller = std::this_thread::get_id();
        void play(const QString &name) override
        {
            open.tryAcquire(1, 3000);
            std::lock_guard lock(mutex);
            heard << name;
            onCaller = onCaller || std::this_thread::get_id() == caller;
        }
    } sounds;
    test::TempPreferences prefs;
    QElapsedTimer timer;
    {
        CopyFeedback feedback(*prefs, sounds, {});
        timer.start();
        feedback.confirmCopy();
        feedback.handleOwnPasteboardWrite({"quillmere.ownPasteboardWrite", nullptr, {{"feedback", "uploadComplete"}}});
        for (int i = 0; i < 10; ++i)
            feedback.confirmCopy();
        EXPECT_LT(timer.elapsed(), 1000) << "the copies waited on the sound";
        sounds.open.release(100);
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                std::lock_guard lock(sounds.mutex);
                return sounds.heard.size() >= 2;
            },
            5000));
    }
    std::lock_guard lock(sounds.mutex);
    EXPECT_FALSE(sounds.onCaller);
    EXPECT_EQ(sounds.heard.mid(0, 2), (QStringList{"Pop", "Glass"}));
    EXPECT_LE(sounds.heard.size(), qsizetype(2 + SoundThread::maxWaiting)) << "a burst's sounds do not pile up";
}

TEST(SoundPlayer, SynthesisedSoundsAreValidWavFilesAndPlayingNeverFails)
{
    QTemporaryDir dir;
    CanberraSoundPlayer player(dir.path());
    for (const QString name : {"Pop", "Glass"}) {
        const QByteArray wav = CanberraSoundPlayer::synthesize(name);
        ASSERT_GT(wav.size(), 44);
        EXPECT_TRUE(wav.startsWith("RIFF"));
        EXPECT_EQ(wav.mid(8, 4), "WAVE");
        EXPECT_FALSE(player.soundFile(name).isEmpty());
    }
    EXPECT_TRUE(player.soundFile("Unknown").isEmpty());
    // Without a sound device: silence, no crash, and no complaints from the sound libraries.
    const QByteArray errors = stderrDuring([&] {
        player.play("Pop");
        player.play("Glass");
        player.play("Unknown");
    });
    EXPECT_FALSE(errors.contains("ALSA lib")) << errors.toStdString();
}

TEST(RetryBackoff, WaitsTwiceAsLongAfterEachFailureUpToFiveMinutesAndStartsOverOnSuccess)
{
    RetryBackoff backoff;
    EXPECT_TRUE(backoff.mayTry(0));
    EXPECT_TRUE(backoff.failed(0)) << "the first failure of a streak";
    EXPECT_FALSE(backoff.mayTry(999));
    EXPECT_TRUE(backoff.mayTry(1000));
    EXPECT_FALSE(backoff.failed(1000));
    EXPECT_FALSE(backoff.mayTry(2999));
    EXPECT_TRUE(backoff.mayTry(3000));

    qint64 now = 3000;
    for (int i = 0; i < 20; ++i)
        backoff.failed(now);
    EXPECT_FALSE(backoff.mayTry(now + RetryBackoff::maxDelayMs - 1));
    EXPECT_TRUE(backoff.mayTry(now + RetryBackoff::maxDelayMs));

    backoff.succeeded();
    EXPECT_TRUE(backoff.mayTry(now));
    EXPECT_TRUE(backoff.failed(now));
    EXPECT_FALSE(backoff.mayTry(now + 999));
    EXPECT_TRUE(backoff.mayTry(now + 1000));
}
