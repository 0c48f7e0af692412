#include "OnboardingFixture.h"
#include "Quillmere/Onboarding/OnboardingContent.h"
#include "Quillmere/Onboarding/OnboardingPalette.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

using namespace quillmere;
using test::OnboardingFixture;
using Step = OnboardingStep;

TEST(OnboardingFlowEndings, EachWayOutMarksTheGuideDoneAndReportsWhichItWas)
{
    struct Case {
        const char *name;
        std::function<void(OnboardingFlow &)> act;
        std::optional<bool> outcome;
    };
    const Case cases[] = {
        {"Finish & Open", [](OnboardingFlow &f) { f.finish(true); }, true},
        {"Skip Setup", [](OnboardingFlow &f) { f.finish(false); }, false},
        {"close button", [](OnboardingFlow &) {}, std::nullopt},
    };
    for (const Case &c : cases) {
        OnboardingFixture fx;
        auto flow = fx.makeFlow();
        int closeRequests = 0;
        QObject::connect(flow.get(), &OnboardingFlow::closeRequested, [&] { ++closeRequests; });
        c.act(*flow);
        // A choice inside the window marks the guide done before the window has even closed.
        EXPECT_EQ(fx.completed(), c.outcome.has_value()) << c.name;
        EXPECT_EQ(closeRequests, c.outcome.has_value() ? 1 : 0) << c.name;
        EXPECT_EQ(flow->windowDidClose(), c.outcome) << c.name;
        EXPECT_TRUE(fx.completed()) << c.name;
        EXPECT_TRUE(flow->hasEnded()) << c.name;
    }
}

TEST(OnboardingFlowEndings, OnlyTheFirstChoiceCountsAndTheEndIsToldOnce)
{
    OnboardingFixture fx;
    auto flow = fx.makeFlow();
    int closeRequests = 0;
    QObject::connect(flow.get(), &OnboardingFlow::closeRequested, [&] { ++closeRequests; });
    flow->finish(false);
    flow->finish(true);
    EXPECT_EQ(closeRequests, 1);
    EXPECT_EQ(flow->windowDidClose(), std::optional<bool>(false));
    // A late press after the window has gone changes nothing and reports nothing again.
    flow->finish(true);
    EXPECT_EQ(flow->windowDidClose(), std::nullopt);
    EXPECT_EQ(closeRequests, 1);
}

TEST(OnboardingFlowNavigation, EachActionMovesToItsStep)
{
    OnboardingFixture fx;
    auto flow = fx.makeFlow();
    EXPECT_EQ(flow->selectedStep(), Step::privacy);
    EXPECT_FALSE(flow->canGoBack());
    flow->goBack();
    EXPECT_EQ(flow->selectedStep(), Step::privacy);

    const Step forward[] = {Step::permissions, Step::sync, Step::hotkey, Step::ready, Step::ready};
    for (Step expected : forward) {
        EXPECT_EQ(flow->showsFinish(), flow->selectedStep() == Step::ready);
        flow->goForward();
        EXPECT_EQ(flow->selectedStep(), expected);
    }
    EXPECT_TRUE(flow->showsFinish());
    flow->goBack();
    EXPECT_EQ(flow->selectedStep(), Step::hotkey);

    // The sidebar chooses any step at any time.
    flow->selectStep(Step::ready);
    EXPECT_EQ(flow->selectedStep(), Step::ready);
    flow->selectStep(Step::sync);
    EXPECT_EQ(flow->selectedStep(), Step::sync);
}

TEST(OnboardingFlowNavigation, CaptureButtonsStoreTheChoiceAndMoveOnButTheSwitchStays)
{
    OnboardingFixture fx;
    auto flow = fx.makeFlow();
    flow->setCaptureOn(false);
    EXPECT_TRUE(fx.prefs->boolValue("capturePaused", false));
    EXPECT_EQ(flow->selectedStep(), Step::privacy);
    EXPECT_EQ(OnboardingContent::captureRow(*flow).systemImage, "pause.circle");

    flow->setCapturePaused(false); // "Start Capture"
    EXPECT_FALSE(fx.prefs->boolValue("capturePaused", true));
    EXPECT_EQ(flow->selectedStep(), Step::permissions);

    flow->selectStep(Step::privacy);
    flow->setCapturePaused(true); // "Keep Paused"
    EXPECT_TRUE(fx.prefs->boolValue("capturePaused", false));
    EXPECT_EQ(flow->selectedStep(), Step::permissions);
}

TEST(OnboardingFlowSteps, CompletenessFollowsCaptureAndBothPermissions)
{
    OnboardingFixture fx;
    fx.xtest = false;
    auto flow = fx.makeFlow();
    // First start: capture on, so Privacy is done; Sync and Hotkey always are, Ready never.
    EXPECT_TRUE(flow->isStepComplete(Step::privacy));
    EXPECT_FALSE(flow->isStepComplete(Step::permissions));
    EXPECT_TRUE(flow->isStepComplete(Step::sync));
    EXPECT_TRUE(flow->isStepComplete(Step::hotkey));
    EXPECT_FALSE(flow->isStepComplete(Step::ready));

    // The tray menu pauses capture while the guide is open.
    int changes = 0;
    QObject::connect(flow.get(), &OnboardingFlow::changed, [&] { ++changes; });
    fx.prefs->setBool("capturePaused", true);
    EXPECT_GT(changes, 0);
    EXPECT_FALSE(flow->isStepComplete(Step::privacy));

    fx.xtest = true;
    fx.pixelsReadable = false;
    flow->refreshSystemStatus();
    EXPECT_FALSE(flow->isStepComplete(Step::permissions));
    fx.pixelsReadable = true;
    flow->refreshSystemStatus();
    EXPECT_TRUE(flow->isStepComplete(Step::permissions));
    flow->selectStep(Step::ready);
    EXPECT_FALSE(flow->isStepComplete(Step::ready));
}

TEST(OnboardingFlowFirstView, AStoredValueOutsideTheThreeReadsAsHistoryAndIsRepairedOnAppear)
{
    OnboardingFixture fx;
    fx.prefs->setString("panelOpenBehavior", "carousel");
    auto flow = fx.makeFlow();
    EXPECT_EQ(flow->panelOpenSelection(), "history");
    EXPECT_EQ(OnboardingContent::summary(*flow).back().value, "Clipboard History");
    EXPECT_EQ(fx.prefs->string("panelOpenBehavior"), std::optional<QString>("carousel"));
    flow->refreshOnAppear();
    EXPECT_EQ(fx.prefs->string("panelOpenBehavior"), std::optional<QString>("history"));

    flow->setPanelOpenBehavior("lastUsed");
    EXPECT_EQ(fx.prefs->string("panelOpenBehavior"), std::optional<QString>("lastUsed"));
    EXPECT_EQ(OnboardingContent::summary(*flow).back().value, "Last Used");
    flow->setPanelOpenBehavior("Page"); // not a stored name
    EXPECT_EQ(fx.prefs->string("panelOpenBehavior"), std::optional<QString>("lastUsed"));
    flow->setPanelOpenBehavior("page");
    EXPECT_EQ(OnboardingContent::summary(*flow).back().value, "Page");
}

TEST(OnboardingFlowPermissions, OnThisDesktopAskingIsLookingAgainAndNothingFalseIsShown)
{
    OnboardingFixture fx;
    fx.pixelsReadable = false;
    fx.xtest = false;
    auto flow = fx.makeFlow();
    EXPECT_EQ(flow->screenCapturePermissionState(), ScreenCapturePermissionState::firstUse);
    auto screen = OnboardingContent::screenCaptureRow(*flow);
    EXPECT_EQ(screen.accessory.title, "Grant");

    flow->requestScreenCaptureAccess();
    // The request counts for the capture actions too; the X server still refuses.
    EXPECT_TRUE(fx.prefs->boolValue("screenCapturePermissionRequestedV1", false));
    EXPECT_EQ(flow->screenCapturePermissionState(), ScreenCapturePermissionState::denied);
    screen = OnboardingContent::screenCaptureRow(*flow);
    EXPECT_EQ(screen.accessory.title, "Check Again");
    EXPECT_FALSE(screen.subtitle.contains("System Settings"));
    EXPECT_NE(screen.accessory.kind, OnboardingContent::Accessory::Kind::pill);

    const auto paste = OnboardingContent::accessibilityRow(*flow);
    EXPECT_EQ(paste.accessory.title, "Check Again");
    EXPECT_TRUE(paste.subtitle.contains("Ctrl+V"));

    // Once the display allows it, "Check Again" shows it at once.
    fx.pixelsReadable = true;
    fx.xtest = true;
    flow->requestScreenCaptureAccess();
    EXPECT_EQ(flow->screenCapturePermissionState(), ScreenCapturePermissionState::granted);
    flow->requestAccessibilityTrust();
    EXPECT_TRUE(flow->isAccessibilityTrusted());
    EXPECT_EQ(OnboardingContent::accessibilityRow(*flow).accessory.title, "Granted");
    EXPECT_EQ(OnboardingContent::summary(*flow)[2].value, "Granted");
}

TEST(OnboardingFlowPermissions, WhereTheDesktopHasPagesARefusedRequestOpensThemInsteadOfAskingAgain)
{
    OnboardingFixture fx;
    fx.pixelsReadable = false;
    fx.xtest = false;
    fx.prefs->setBool("screenCapturePermissionRequestedV1", true);
    auto flow = fx.makeFlow(true);
    EXPECT_EQ(flow->screenCapturePermissionState(), ScreenCapturePermissionState::denied);
    EXPECT_EQ(OnboardingContent::screenCaptureRow(*flow).accessory.title, "Open Settings");
    flow->requestScreenCaptureAccess();
    EXPECT_EQ(fx.screenPagesOpened, 1);
    EXPECT_EQ(OnboardingContent::accessibilityRow(*flow).accessory.title, "Grant");
    flow->requestAccessibilityTrust();
    EXPECT_EQ(fx.accessibilityPagesOpened, 1);
}

TEST(OnboardingFlowPermissions, APermissionGrantedOutsideShowsWithinASecondWhileOnScreenOnly)
{
    OnboardingFixture fx;
    fx.xtest = false;
    auto flow = fx.makeFlow();
    flow->setRefreshActive(true);
    EXPECT_TRUE(flow->isRefreshActive());
    fx.xtest = true;
    QElapsedTimer elapsed;
    elapsed.start();
    ASSERT_TRUE(test::waitUntil([&] { return flow->isStepComplete(Step::permissions); }, 5000));
    // The timer asks once a second; a busy loop would have seen it at once, a lazy one never.
    EXPECT_GE(elapsed.elapsed(), OnboardingFlow::refreshIntervalMs / 2);

    flow->windowDidClose();
    EXPECT_FALSE(flow->isRefreshActive());
    flow->setRefreshActive(true);
    EXPECT_FALSE(flow->isRefreshActive());
}

TEST(OnboardingFlowSync, TheCloudRowFollowsTheSyncStatus)
{
    {
        OnboardingFixture fx(PersistenceMode::inMemory);
        auto flow = fx.makeFlow();
        const auto row = OnboardingContent::cloudRow(*flow);
        EXPECT_EQ(row.systemImage, "exclamationmark.icloud");
        EXPECT_EQ(row.accessory.title, "Not saved");
        EXPECT_EQ(row.tint, OnboardingPalette::red());
        // No folder to check: Refresh leaves the rows as they are.
        flow->refreshCloudStatus();
        QCoreApplication::processEvents();
        EXPECT_EQ(fx.accountChecks, 0);
        EXPECT_EQ(OnboardingContent::freshnessRow(*flow).subtitle, "Not checked yet");
    }
    {
        OnboardingFixture fx(PersistenceMode::localOnly);
        auto flow = fx.makeFlow();
        EXPECT_EQ(OnboardingContent::cloudRow(*flow).accessory.title, "Off");
    }
    {
        OnboardingFixture fx(PersistenceMode::cloudKit, CloudSyncStatus::AccountStatus::noAccount);
        auto flow = fx.makeFlow();
        // The status checks the folder once when it starts; "Refresh" checks it again.
        ASSERT_TRUE(test::waitUntil([&] { return fx.accountChecks == 1; }));
        flow->refreshCloudStatus();
        ASSERT_TRUE(test::waitUntil([&] { return fx.accountChecks == 2; }));
        const auto row = OnboardingContent::cloudRow(*flow);
        EXPECT_EQ(row.systemImage, "icloud.slash");
        EXPECT_EQ(row.accessory.title, "No folder");
        EXPECT_NE(OnboardingContent::freshnessRow(*flow).subtitle, "Not checked yet");
    }
    {
        OnboardingFixture fx(PersistenceMode::cloudKit);
        auto flow = fx.makeFlow();
        EXPECT_EQ(OnboardingContent::cloudRow(*flow).accessory.title, "On");
        SyncEvent failed;
        failed.type = SyncEvent::Type::export_;
        failed.startDate = fx.clock.now();
        failed.endDate = fx.clock.now();
        failed.errorDescription = QStringLiteral("The sync folder is full");
        fx.status.handleEvent(failed);
        const auto row = OnboardingContent::cloudRow(*flow);
        EXPECT_EQ(row.systemImage, "exclamationmark.icloud");
        EXPECT_EQ(row.tint, OnboardingPalette::orange());
        EXPECT_EQ(row.accessory.title, "Error");
        EXPECT_TRUE(row.subtitle.contains("The sync folder is full"));
    }
}

TEST(OnboardingContentTexts, HotKeysAndPlacesReadAsThisDesktopWritesThem)
{
    OnboardingFixture fx;
    auto flow = fx.makeFlow();
    EXPECT_EQ(OnboardingContent::panelHotKeyText(), "Shift+Super+V");
    QStringList texts;
    for (Step step : allOnboardingSteps) {
        const auto h = OnboardingContent::header(step);
        texts << h.eyebrow << h.title << h.subtitle;
    }
    for (const auto &row :
         {OnboardingContent::captureRow(*flow), OnboardingContent::privateByDefaultRow(),
          OnboardingContent::screenCaptureRow(*flow), OnboardingContent::accessibilityRow(*flow),
          OnboardingContent::purposeRow(), OnboardingContent::openHotkeyRow(), OnboardingContent::coreLoopRow()})
        texts << row.title << row.subtitle;
    const QString all = texts.join('\n');
    EXPECT_TRUE(all.contains("Shift+Super+V"));
    // The managed upload service is not part of this build, so the guide does not promise it.
    for (const char *foreign : {"Command", "Mac", "menu bar", "System Settings", "island", "Vision", "Cloud"})
        EXPECT_FALSE(all.contains(foreign)) << foreign;
}
