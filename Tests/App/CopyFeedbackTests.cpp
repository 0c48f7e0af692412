#include "Quillmere/App/CaptureFollowUps.h"
#include "Quillmere/App/CopyFeedback.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/SoundPlayer.h"
#include "Support/TestSupport.h"

#include <QTest>
#include <gtest/gtest.h>

using namespace quillmere;

namespace {

struct RecordingSounds : SoundPlayer {
    QStringList played;
    void play(const QString &name) override { played << name; }
};

struct Fixture {
    test::TempPreferences prefs;
    RecordingSounds sounds;
    NotificationCenter center;
    QList<bool> icons;
    QStringList calls;
    bool recording = false;
    CopyFeedback feedback{*prefs, sounds, {[this] { return recording; }, [this](bool copied) { icons << copied; }}};
    CaptureFollowUps followUps{feedback, center,
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
    f.center.addObserver(CaptureFollowUps::clipCapturedNotification, nullptr, [&](const Notification &) { ++captured; });
    f.followUps.clipCaptured(clipOfKind(ClipKind::url));
    EXPECT_EQ(f.calls, (QStringList{"register", "coordinator", "link"}));
    EXPECT_EQ(f.sounds.played, QStringList{"Pop"});
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
    EXPECT_EQ(f.sounds.played, (QStringList{"Glass", "Pop", "Pop"}));

    f.prefs->setString("copySoundEnabled", "no"); // not a flag: still on
    EXPECT_TRUE(f.feedback.copySoundIsEnabled());
    f.prefs->setBool("copySoundEnabled", false);
    f.sounds.played.clear();
    f.icons.clear();
    f.followUps.clipCaptured(clipOfKind(ClipKind::text));
    EXPECT_TRUE(f.sounds.played.isEmpty());
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
    EXPECT_EQ(f.sounds.played, QStringList{"Pop"}) << "the sound still plays";
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
        player.play(name); // no sound device here: silence, no crash
    }
    EXPECT_TRUE(player.soundFile("Unknown").isEmpty());
    player.play("Unknown");
}
