#include "CaptureFixture.h"

#include "Quillmere/Capture/CaptureFeatureCoordinator.h"

#include "Quillmere/Platform/Core/Notices.h"
#include "Quillmere/Platform/Core/PreferenceKeys.h"

#include <QThread>
#include <gtest/gtest.h>
#include <map>
#include <set>

using namespace quillmere;
using test::CaptureServiceHarness;
using test::FakeTool;

namespace {

struct FakeRecording : ScreenRecording {
    State current = State::idle;
    bool selectorOpen = false;
    int toggles = 0;
    bool isAvailable() const override { return true; }
    State state() const override { return current; }
    bool isRegionSelectorOpen() const override { return selectorOpen; }
    void toggle() override { ++toggles; }
    void become(State state, QDateTime startedAt = {})
    {
        current = state;
        onStateChange(state, startedAt);
    }
};

// Hot keys, alerts, the panel and the status icon as the coordinator sees them.
struct CoordinatorHarness : CaptureServiceHarness {
    FakeTool fake;
    std::map<quint32, std::function<void()>> hotKeys;
    std::vector<std::pair<quint32, quint32>> registered; // key code, modifiers
    std::set<quint32> heldElsewhere;                     // key codes another program holds
    quint32 nextID = 1;
    bool readable = true;
    bool panelOpen = false;
    int panelHides = 0;
    QList<CaptureAlert> alerts;
    std::function<int(const CaptureAlert &)> answer = [](const CaptureAlert &) { return 1; };
    std::optional<bool> recordingImage;
    QString toolTip;
    FakeRecording *recording = nullptr;
    std::unique_ptr<CaptureFeatureCoordinator> coordinator;

    explicit CoordinatorHarness(bool fakeRecording = true, bool wayland = false)
    {
        CaptureFeatureCoordinator::Dependencies deps;
        deps.services = context(nullptr);
        deps.toolOptions = toolOptions(fake.writing(test::png(20, 20)));
        deps.registerHotKey = [this](quint32 key, quint32 mods,
                                     std::function<void()> handler) -> std::optional<quint32> {
            if (heldElsewhere.count(key))
                return std::nullopt;
            registered.emplace_back(key, mods);
            hotKeys[nextID] = std::move(handler);
            return nextID++;
        };
        deps.unregisterHotKey = [this](quint32 id) { hotKeys.erase(id); };
        deps.hidePanelForExternalUI = [this] {
            ++panelHides;
            return std::exchange(panelOpen, false);
        };
        deps.screenPixelsReadable = [this] { return readable; };
        deps.showAlert = [this](const CaptureAlert &alert) {
            alerts << alert;
            return answer(alert);
        };
        deps.showRecordingImage = [this](bool on) { recordingImage = on; };
        deps.setStatusToolTip = [this](const QString &tip) { toolTip = tip; };
        deps.waylandSession = wayland;
        if (fakeRecording) {
            auto owned = std::make_unique<FakeRecording>();
            recording = owned.get();
            deps.recording = std::move(owned);
        }
        coordinator = std::make_unique<CaptureFeatureCoordinator>(std::move(deps));
    }

    bool waitForToolCalls(int count)
    {
        return test::waitUntil([&] { return fake.calls().size() >= count; });
    }
    void press(int index) { std::next(hotKeys.begin(), index)->second(); }
};

} // namespace

TEST(CaptureCoordinator, ShortcutsRegisterInActionOrderSkipRefusedOnesAndFollowChanges)
{
    CoordinatorHarness h;
    h.heldElsewhere = {20}; // Ctrl+Shift+3 belongs to another program
    h.coordinator->start();
    using namespace CarbonModifier;
    EXPECT_EQ(h.registered,
              (std::vector<std::pair<quint32, quint32>>{
                  {21, control | shift}, {19, command | shift}, {23, control | shift}}));
    EXPECT_EQ(h.coordinator->captureHotKeyIDs().size(), 3);

    // New shortcuts replace all the old ones at once.
    h.heldElsewhere.clear();
    CaptureShortcutPreferences table;
    table.shortcuts[CaptureAction::fullScreenScreenshot] = {3, option};
    h.prefs->setJSON(table, CaptureShortcutPreferences::key);
    h.center.post(Notices::captureShortcutsChanged);
    ASSERT_EQ(h.hotKeys.size(), 1u);
    EXPECT_EQ(h.registered.back(), (std::pair<quint32, quint32>{3, option}));
    h.press(0);
    ASSERT_TRUE(h.waitForToolCalls(1));
    EXPECT_FALSE(h.fake.calls()[0].startsWith("-i ")) << "the full screen takes the path alone";

    // The in-app request for an area capture; none after stop().
    ASSERT_TRUE(test::waitUntil([&] { return h.coordinator->tool().runningCount() == 0; }));
    h.center.post(Notices::requestAreaCapture);
    ASSERT_TRUE(h.waitForToolCalls(2));
    ASSERT_TRUE(test::waitUntil([&] { return h.coordinator->tool().runningCount() == 0; }));
    h.coordinator->stop();
    h.center.post(Notices::requestAreaCapture);
    QTest::qWait(50);
    EXPECT_EQ(h.fake.calls().size(), 2);
}

TEST(CaptureCoordinator, UnreadableScreenExplainsOnceThenPointsToTheSettings)
{
    CoordinatorHarness h;
    h.readable = false;
    h.panelOpen = true;

    // First use: the explanation names the action; Not Now asks again next time.
    h.coordinator->perform(CaptureAction::areaScreenshot);
    ASSERT_EQ(h.alerts.size(), 1);
    EXPECT_EQ(h.alerts[0].messageText, "Screen Not Readable");
    EXPECT_EQ(h.alerts[0].informativeText,
              "Brindlewax reads the screen's pixels to capture the area you select, and the X server does not let "
              "it. It captures only when you start a screenshot, OCR action, or recording. OCR processing stays on "
              "this computer.");
    EXPECT_EQ(h.alerts[0].buttons, (QStringList{"Check Again", "Not Now"}));
    EXPECT_EQ(h.panelHides, 1);
    h.coordinator->perform(CaptureAction::ocrArea);
    ASSERT_EQ(h.alerts.size(), 2);
    EXPECT_TRUE(h.alerts[1].informativeText.contains("capture the selected area before recognizing its text locally"));
    EXPECT_FALSE(h.prefs->boolValue(PreferenceKeys::screenCapturePermissionRequested));

    // Continue while still unreadable: flag set, nothing runs; a press during the alert is dropped.
    h.answer = [&](const CaptureAlert &) {
        h.coordinator->perform(CaptureAction::fullScreenScreenshot);
        return 0;
    };
    h.coordinator->perform(CaptureAction::areaScreenshot);
    EXPECT_EQ(h.alerts.size(), 3);
    EXPECT_TRUE(h.prefs->boolValue(PreferenceKeys::screenCapturePermissionRequested));

    // From now on: one alert that says what is true on X11, with the phrase of that capture and no
    // button that sends the user to a settings page this desktop does not have.
    h.answer = [](const CaptureAlert &) { return 0; };
    h.coordinator->perform(CaptureAction::fullScreenScreenshot);
    ASSERT_EQ(h.alerts.size(), 4);
    EXPECT_EQ(h.alerts[3].messageText, "Screen Not Readable");
    EXPECT_EQ(h.alerts[3].style, CaptureAlert::Style::warning);
    EXPECT_EQ(h.alerts[3].informativeText,
              "The X server does not let Brindlewax read the screen's pixels, so it cannot capture your display. "
              "There is no permission to grant: start Brindlewax from within your own desktop session, where "
              "DISPLAY names your screen, and try again.");
    EXPECT_EQ(h.alerts[3].buttons, QStringList{"OK"});
    QTest::qWait(50);
    EXPECT_TRUE(h.fake.calls().isEmpty());

    // Stopping a recording needs no permission.
    h.recording->current = ScreenRecording::State::recording;
    h.coordinator->perform(CaptureAction::screenRecording);
    EXPECT_EQ(h.recording->toggles, 1);
    EXPECT_EQ(h.alerts.size(), 4);
    h.recording->current = ScreenRecording::State::idle;
    h.coordinator->perform(CaptureAction::screenRecording);
    EXPECT_EQ(h.recording->toggles, 1);
    EXPECT_EQ(h.alerts.size(), 5);
}

TEST(CaptureCoordinator, ContinueRunsTheCaptureWhenTheScreenHasBecomeReadable)
{
    CoordinatorHarness h;
    h.readable = false;
    h.answer = [&](const CaptureAlert &) {
        h.readable = true;
        return 0;
    };
    h.coordinator->perform(CaptureAction::fullScreenScreenshot);
    ASSERT_TRUE(h.waitForToolCalls(1));
    ASSERT_TRUE(test::waitUntil([&] { return h.history().size() == 1; }));
    EXPECT_EQ(h.history()[0]->sourceAppName(), QString("Quillmere Capture"));
}

TEST(CaptureCoordinator, UnderWaylandTheFirstCaptureSaysOnceWhatItCovers)
{
    CoordinatorHarness h(true, true);
    h.coordinator->perform(CaptureAction::fullScreenScreenshot);
    ASSERT_TRUE(h.waitForToolCalls(1));
    ASSERT_TRUE(test::waitUntil([&] { return h.coordinator->tool().runningCount() == 0; }));
    h.coordinator->perform(CaptureAction::fullScreenScreenshot);
    ASSERT_TRUE(h.waitForToolCalls(2));
    ASSERT_EQ(h.alerts.size(), 1);
    EXPECT_EQ(h.alerts[0].messageText, "Only X11 Windows Can Be Captured");
}

TEST(CaptureCoordinator, RecordingRunsThroughItsSeamAndLightsTheStatusIcon)
{
    CoordinatorHarness h;
    h.panelOpen = true;
    h.coordinator->perform(CaptureAction::screenRecording);
    EXPECT_EQ(h.recording->toggles, 1);
    EXPECT_EQ(h.panelHides, 1);

    h.recording->become(ScreenRecording::State::recording, QDateTime::currentDateTimeUtc().addSecs(-65));
    EXPECT_EQ(h.recordingImage, true);
    EXPECT_EQ(h.toolTip, QString::fromUtf8("Recording screen — 1:05"));
    EXPECT_TRUE(h.coordinator->isRecording());
    h.recording->become(ScreenRecording::State::idle);
    EXPECT_EQ(h.recordingImage, false);
    EXPECT_EQ(h.toolTip, CaptureFeatureCoordinator::defaultStatusToolTip);
    EXPECT_EQ(CaptureFeatureCoordinator::defaultStatusToolTip,
              QStringLiteral("Brindlewax — clipboard history (Shift+Super+V)"));
    EXPECT_EQ(CaptureFeatureCoordinator::recordingToolTip(75 * 60), QString::fromUtf8("Recording screen — 75:00"));
    EXPECT_EQ(CaptureFeatureCoordinator::recordingToolTip(-3), QString::fromUtf8("Recording screen — 0:00"));

    // Until recording exists its action only says so.
    CoordinatorHarness plain(false);
    EXPECT_FALSE(plain.coordinator->isRecordingAvailable());
    plain.coordinator->perform(CaptureAction::screenRecording);
    EXPECT_FALSE(plain.coordinator->isRecording());
    EXPECT_TRUE(plain.alerts.isEmpty());
}

TEST(CaptureCoordinator, RecognitionsRunOneAfterTheOther)
{
    CoordinatorHarness h;
    std::atomic_int running{0}, most{0};
    h.duringRecognition = [&] {
        most = std::max(most.load(), ++running);
        QThread::msleep(50);
        --running;
    };
    for (int i = 0; i < 3; ++i)
        h.coordinator->perform(CaptureAction::fullScreenScreenshot);
    ASSERT_TRUE(test::waitUntil([&] { return *h.recognitions == 3; }, 10000));
    EXPECT_EQ(most, 1);
}
