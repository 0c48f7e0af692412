#include "OnboardingFixture.h"
#include "Quillmere/Onboarding/OnboardingKit.h"
#include "Quillmere/Onboarding/OnboardingPages.h"
#include "Quillmere/Onboarding/OnboardingPalette.h"
#include "Quillmere/Onboarding/OnboardingWindow.h"
#include "Quillmere/Settings/Glyphs.h"
#include "Support/DisplayTestSupport.h"

#include <QScreen>
#include <QTest>
#include <gtest/gtest.h>

using namespace quillmere;
using test::OnboardingFixture;
using Step = OnboardingStep;
namespace P = OnboardingPalette;

namespace {

class OnboardingWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // A window test that cannot show a window fails rather than passing unseen.
        ASSERT_TRUE(test::onX11()) << "needs an X display";
        ASSERT_TRUE(test::windowManagerRunning()) << "needs a window manager";
    }

    void open(bool withSettingsPages = false)
    {
        controller = std::make_unique<OnboardingWindowController>(fx.dependencies(withSettingsPages),
                                                                  [this](std::optional<bool> outcome) {
                                                                      ++finishedCalls;
                                                                      finished = outcome;
                                                                  });
        controller->showAndActivate();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(controller->window()));
    }

    OnboardingWindow &window() const { return *controller->window(); }

    void saveShot(const QString &name)
    {
        QCoreApplication::processEvents();
        window().grab().save(test::artifactPath(QStringLiteral("onboarding/%1.png").arg(name)));
    }

    OnboardingFixture fx;
    std::unique_ptr<OnboardingWindowController> controller;
    std::optional<bool> finished;
    int finishedCalls = 0;
};

} // namespace

TEST_F(OnboardingWindowTest, OpensOnPrivacyAndContinueWalksEveryStepToFinishAndOpen)
{
    open();
    EXPECT_EQ(window().windowTitle(), "Set Up Brindlewax");
    EXPECT_EQ(window().size(), QSize(780, 580));
    EXPECT_EQ(window().minimumSize(), window().maximumSize());
    EXPECT_EQ(window().currentPage()->step(), Step::privacy);
    EXPECT_FALSE(window().backButton()->isEnabled());
    EXPECT_EQ(window().forwardButton()->text(), "Continue");
    // The keyboard starts on the step's main action.
    EXPECT_TRUE(window().forwardButton()->hasFocus());

    const Step order[] = {Step::privacy, Step::permissions, Step::sync, Step::hotkey, Step::ready};
    for (Step step : order) {
        ASSERT_EQ(window().currentPage()->step(), step);
        saveShot(rawValue(step));
        if (step != Step::ready)
            QTest::keyClick(window().forwardButton(), Qt::Key_Return);
    }
    EXPECT_EQ(window().forwardButton()->text(), "Finish & Open");
    EXPECT_TRUE(window().backButton()->isEnabled());
    QTest::mouseClick(window().backButton(), Qt::LeftButton);
    EXPECT_EQ(window().currentPage()->step(), Step::hotkey);
    EXPECT_EQ(window().forwardButton()->text(), "Continue");

    window().stepButton(Step::ready)->click();
    QTest::keyClick(window().forwardButton(), Qt::Key_Return);
    ASSERT_TRUE(test::waitUntil([&] { return finishedCalls == 1; }));
    EXPECT_EQ(finished, std::optional<bool>(true));
    EXPECT_TRUE(fx.completed());
    EXPECT_EQ(controller->window(), nullptr);
}

TEST_F(OnboardingWindowTest, SkipAndTheCloseButtonEndTheGuideWithoutThePanel)
{
    open();
    window().stepButton(Step::sync)->click();
    window().skipButton()->click();
    ASSERT_TRUE(test::waitUntil([&] { return finishedCalls == 1; }));
    EXPECT_EQ(finished, std::optional<bool>(false));
    EXPECT_TRUE(fx.completed());

    OnboardingFixture second;
    int calls = 0;
    std::optional<bool> outcome = true;
    OnboardingWindowController closing(second.dependencies(), [&](std::optional<bool> o) {
        ++calls;
        outcome = o;
    });
    closing.showAndActivate();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(closing.window()));
    closing.window()->close(); // what the title bar's close button does
    ASSERT_TRUE(test::waitUntil([&] { return calls == 1; }));
    EXPECT_EQ(outcome, std::nullopt);
    EXPECT_TRUE(second.completed());
    // The window is gone for good; showing again opens nothing.
    closing.showAndActivate();
    EXPECT_EQ(closing.window(), nullptr);
}

TEST_F(OnboardingWindowTest, PagesFollowTheFlowAndAGrantFromOutsideShowsWithinASecond)
{
    fx.xtest = false;
    open();
    window().stepButton(Step::permissions)->click();
    auto *page = static_cast<OnboardingPermissionsPage *>(window().currentPage());
    EXPECT_TRUE(page->accessibilitySlot()->button()->isVisible());
    EXPECT_EQ(page->accessibilitySlot()->button()->text(), "Check Again");
    EXPECT_FALSE(window().stepButton(Step::permissions)->isComplete());
    saveShot("permissions-missing");

    fx.xtest = true; // e.g. the program now runs on a display with XTest
    ASSERT_TRUE(test::waitUntil([&] { return page->accessibilitySlot()->pill()->isVisible(); }, 5000));
    EXPECT_EQ(page->accessibilitySlot()->pill()->title(), "Granted");
    EXPECT_FALSE(page->accessibilitySlot()->button()->isVisible());
    EXPECT_EQ(page->accessibilityRow()->badge()->tint(), P::green());
    EXPECT_TRUE(window().stepButton(Step::permissions)->isComplete());

    // Privacy: "Keep Paused" stores the pause, turns the switch off and moves on.
    window().stepButton(Step::privacy)->click();
    auto *privacy = static_cast<OnboardingPrivacyPage *>(window().currentPage());
    EXPECT_TRUE(privacy->captureSwitch()->isChecked());
    privacy->keepPausedButton()->click();
    EXPECT_EQ(window().currentPage()->step(), Step::permissions);
    EXPECT_FALSE(privacy->captureSwitch()->isChecked());
    EXPECT_EQ(privacy->captureRow()->badge()->systemImage(), "pause.circle");
    EXPECT_FALSE(window().stepButton(Step::privacy)->isComplete());
    window().stepButton(Step::privacy)->click();
    saveShot("privacy-paused");
    privacy->captureSwitch()->click();
    EXPECT_FALSE(fx.prefs->boolValue("capturePaused", true));
    EXPECT_EQ(window().currentPage()->step(), Step::privacy);

    // Hotkey: choosing "Last Used" stores it and the summary reads it.
    window().stepButton(Step::hotkey)->click();
    auto *hotkey = static_cast<OnboardingHotkeyPage *>(window().currentPage());
    EXPECT_EQ(hotkey->picker()->currentText(), "Clipboard History");
    hotkey->picker()->setCurrentIndex(1);
    Q_EMIT hotkey->picker()->activated(1);
    EXPECT_EQ(fx.prefs->string("panelOpenBehavior"), std::optional<QString>("lastUsed"));
    auto *ready = static_cast<OnboardingReadyPage *>(window().page(Step::ready));
    EXPECT_EQ(ready->rows().back()->subtitle(), "Last Used");
    EXPECT_EQ(ready->rows().back()->pill()->title(), "Last Used");
}

TEST_F(OnboardingWindowTest, AStoredFirstViewOutsideTheThreeShowsAsHistoryOnceOnScreen)
{
    fx.prefs->setString("panelOpenBehavior", "grid");
    open();
    EXPECT_EQ(fx.prefs->string("panelOpenBehavior"), std::optional<QString>("history"));
    auto *hotkey = static_cast<OnboardingHotkeyPage *>(window().page(Step::hotkey));
    EXPECT_EQ(hotkey->picker()->selectedValue(), "history");
}

TEST(OnboardingKit, StepEntriesShowSelectionAndCompletionAsDrawn)
{
    OnboardingStepButton entry(Step::sync);
    entry.setState(true, false);
    // Selected Sync uses the same green as a completed step.
    EXPECT_EQ(entry.glyph(), "icloud.fill");
    EXPECT_EQ(entry.glyphColour(), P::green());
    EXPECT_EQ(entry.titleColour(), P::primaryText());
    entry.setState(false, true);
    EXPECT_EQ(entry.glyph(), "checkmark.circle.fill");
    EXPECT_EQ(entry.glyphColour(), P::green());
    EXPECT_EQ(entry.titleColour(), P::secondaryText());

    OnboardingStepButton ready(Step::ready);
    ready.setState(true, false);
    EXPECT_EQ(ready.glyph(), "checkmark.circle.fill");
    EXPECT_EQ(ready.glyphColour(), P::accent());
    ready.setState(false, false);
    EXPECT_EQ(ready.glyphColour(), P::secondaryText());

    // An unselected entry answers a click on its clear background, across its rounded rectangle.
    OnboardingStepButton hotkey(Step::hotkey);
    hotkey.resize(188, 36);
    int clicks = 0;
    QObject::connect(&hotkey, &QAbstractButton::clicked, [&] { ++clicks; });
    QTest::mouseClick(&hotkey, Qt::LeftButton, {}, QPoint(180, 18));
    EXPECT_EQ(clicks, 1);
    QTest::mouseClick(&hotkey, Qt::LeftButton, {}, QPoint(1, 1)); // outside the rounded corner
    EXPECT_EQ(clicks, 1);
}

TEST(OnboardingKit, RowsAndButtonsLayOutAsTheStyleSays)
{
    // An info row lays out exactly like a setting row with an empty accessory.
    OnboardingInfoRow info("Core loop", "Copy normally.", "keyboard", P::green());
    OnboardingSettingRow plain("Core loop", "Copy normally.", "keyboard", P::green());
    EXPECT_EQ(info.sizeHint(), plain.sizeHint());

    // A long subtitle wraps and the row grows; the accessory keeps 16 pt from the text.
    auto *accessory = new OnboardingButton("Refresh", OnboardingButton::Kind::normal);
    OnboardingSettingRow row("Freshness", QString("Checked at noon. ").repeated(20), "clock", P::blue(), accessory);
    row.resize(500, row.heightForWidth(500) > 0 ? row.heightForWidth(500) : row.sizeHint().height());
    row.show();
    QCoreApplication::processEvents();
    const QLabel *subtitle = row.findChildren<QLabel *>().last();
    EXPECT_GT(subtitle->height(), 2 * subtitle->fontMetrics().height());
    EXPECT_GE(accessory->geometry().left() - subtitle->geometry().right() - 1, 16);

    // Summary rows show the value twice.
    SummaryRow summary("Capture", "Paused", "pause.circle", P::orange());
    EXPECT_EQ(summary.subtitle(), "Paused");
    EXPECT_EQ(summary.pill()->title(), "Paused");

    using Kind = OnboardingButton::Kind;
    EXPECT_EQ(OnboardingButton::fill(Kind::primary, false), P::withOpacity(P::accent(), 0.95));
    EXPECT_EQ(OnboardingButton::fill(Kind::primary, true), P::withOpacity(P::accent(), 0.82));
    EXPECT_EQ(OnboardingButton::fill(Kind::normal, false), P::white(0.10));
    EXPECT_EQ(OnboardingButton::fill(Kind::normal, true), P::white(0.16));
    OnboardingButton button("Continue", Kind::primary);
    const QSize before = button.sizeHint();
    button.setDown(true);
    EXPECT_EQ(button.sizeHint(), before);
}

TEST(OnboardingKit, EverySymbolTheGuideNamesIsDrawn)
{
    OnboardingFixture fx;
    fx.pixelsReadable = false;
    fx.xtest = false;
    auto flow = fx.makeFlow();
    QStringList symbols{"doc.on.clipboard", "checkmark.circle.fill"};
    for (Step step : allOnboardingSteps)
        symbols << systemImage(step);
    const auto collect = [&] {
        for (const auto &row : {OnboardingContent::captureRow(*flow), OnboardingContent::privateByDefaultRow(),
                                OnboardingContent::screenCaptureRow(*flow), OnboardingContent::accessibilityRow(*flow),
                                OnboardingContent::purposeRow(), OnboardingContent::cloudRow(*flow),
                                OnboardingContent::freshnessRow(*flow), OnboardingContent::openHotkeyRow(),
                                OnboardingContent::coreLoopRow()})
            symbols << row.systemImage;
        for (const auto &line : OnboardingContent::summary(*flow))
            symbols << line.systemImage;
    };
    collect();
    fx.pixelsReadable = fx.xtest = true;
    fx.prefs->setBool("capturePaused", true);
    flow->refreshSystemStatus();
    collect();
    for (const QString &symbol : symbols)
        EXPECT_TRUE(Glyphs::has(symbol)) << symbol.toStdString();
}
