// The panel's rules that need no display: where it goes, how keys are routed and kept while it
// closes, and how a slide turns round.
#include "Quillmere/Panel/Window/PanelGeometry.h"
#include "Quillmere/Panel/Window/PanelKeyboardTap.h"
#include "Quillmere/Panel/Window/PanelSlide.h"

#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

using namespace quillmere;

namespace {

ScreenMetrics screen(QRect frame, int barHeight = 0)
{
    return ScreenMetrics{frame, frame.adjusted(0, barHeight, 0, 0)};
}

CapturedKey typed(const QString &text, quint32 keycode = 38)
{
    return CapturedKey{PanelKey{int(text.at(0).toUpper().unicode()), Qt::NoModifier, text}, keycode, 0};
}

} // namespace

TEST(PanelGeometry, NotchFallbackMeasurementAndScreenChoice)
{
    const std::vector<ScreenMetrics> screens{screen({0, 0, 1600, 1000}, 30), screen({1600, 0, 1200, 800})};

    // No notch on either: 180 wide, as high as the desktop's top bar but never under 22.
    auto left = NotchGeometry::current(screens, 0, 0);
    ASSERT_TRUE(left);
    EXPECT_FALSE(left->hasNotch);
    EXPECT_EQ(left->notchWidth, 180);
    EXPECT_EQ(left->notchHeight, 30);
    EXPECT_EQ(NotchGeometry::current(screens, 1, 0)->notchHeight, 22);
    EXPECT_EQ(NotchGeometry::current(screens, 7, 1)->screenIndex, 1) << "an unknown screen falls back to the main one";
    EXPECT_FALSE(NotchGeometry::current({}, 0, 0));
    EXPECT_FALSE(NotchGeometry::detect(screens[0]));

    // A measured notch; a top inset without auxiliary areas is no notch at all.
    ScreenMetrics notched = screen({0, 0, 1512, 982});
    notched.safeAreaTopInset = 32;
    EXPECT_FALSE(NotchGeometry::detect(notched));
    notched.auxiliaryTopLeftWidth = 662;
    notched.auxiliaryTopRightWidth = 662;
    const auto measured = NotchGeometry::detect(notched);
    ASSERT_TRUE(measured);
    EXPECT_TRUE(measured->hasNotch);
    EXPECT_EQ(measured->notchWidth, 188);
    EXPECT_EQ(measured->notchHeight, 32);
    notched.auxiliaryTopRightWidth = 850; // nothing left between the two areas
    EXPECT_FALSE(NotchGeometry::detect(notched));
    EXPECT_EQ(NotchGeometry::current({notched}, 0, 0)->notchWidth, 180);

    // The pointer's screen, else the main one.
    EXPECT_EQ(screenWithMouse(screens, {1700, 10}, 0), 1);
    EXPECT_EQ(screenWithMouse(screens, {-50, -50}, 1), 1);
    EXPECT_FALSE(screenWithMouse({}, {0, 0}, 0));
}

TEST(PanelGeometry, FrameHangsFromTheTopCentredInEitherWidth)
{
    const ScreenMetrics second = screen({1600, 100, 1200, 800}, 24);
    const NotchGeometry notch = *NotchGeometry::current({second}, 0, 0);
    const QRect full = panelFrame(second, notch, panelWidthModeFromRaw(std::nullopt));
    EXPECT_EQ(full, QRect(1600, 100, 1200, 24 + 52 + 1 + 172));
    const QRect twoThirds = panelFrame(second, notch, panelWidthModeFromRaw(QStringLiteral("twoThirds")));
    EXPECT_EQ(twoThirds.width(), 800);
    EXPECT_EQ(twoThirds.center().x(), full.center().x());
    EXPECT_EQ(twoThirds.top(), 100);
    EXPECT_EQ(panelWidthModeFromRaw(QStringLiteral("half")), PanelWidthMode::full);
}

TEST(PanelGeometry, TimingCurvesKeepTheirShape)
{
    // Enter rushes out and settles; exit starts slowly and leaves fast.
    EXPECT_GT(panelEnterTimingFunction().valueForProgress(0.3), 0.8);
    EXPECT_LT(panelExitTimingFunction().valueForProgress(0.3), 0.2);
    EXPECT_DOUBLE_EQ(panelEnterTimingFunction().valueForProgress(1), 1);
    EXPECT_DOUBLE_EQ(panelExitTimingFunction().valueForProgress(0), 0);
}

TEST(PanelKeyboardTap, RoutesByModeAndKeepsKeysTypedWhileClosing)
{
    std::vector<PanelKey> posted;
    PanelKeyboardTap *tapPtr = nullptr;
    // The history view closes the panel on a typed character in browsing mode.
    PanelKeyboardTap tap([&](const PanelKey &key) {
        posted.push_back(key);
        if (typedCharacters(key) && tapPtr->routingMode() == PanelKeyboardMode::browsing)
            tapPtr->beginHandOff();
    });
    tapPtr = &tap;
    EXPECT_FALSE(tap.handleKeyPress(typed("a"))) << "a tap that is not running takes nothing";

    tap.start();
    tap.setMode(PanelKeyboardMode::searching);
    tap.setCapturePaused(true);
    EXPECT_FALSE(tap.handleKeyPress(typed("x"))) << "a dialog's keys stay with the dialog";
    EXPECT_FALSE(tap.handleKeyRelease());
    EXPECT_TRUE(posted.empty());
    tap.setCapturePaused(false);

    // Searching: typed text is the query's, nothing is handed on.
    tap.setMode(PanelKeyboardMode::searching);
    EXPECT_TRUE(tap.handleKeyPress(typed("q")));
    EXPECT_FALSE(tap.isHandingOff());
    EXPECT_EQ(posted.size(), 1u);
    posted.clear();

    // Browsing: the first typed key closes; it and the keys after it are kept, in order, once.
    tap.setMode(PanelKeyboardMode::browsing);
    EXPECT_TRUE(tap.handleKeyPress(typed("a", 38)));
    EXPECT_TRUE(tap.isHandingOff());
    EXPECT_TRUE(tap.handleKeyPress(typed("b", 56)));
    EXPECT_TRUE(tap.handleKeyPress(CapturedKey{PanelKey{Qt::Key_Return, Qt::NoModifier, "\r"}, 36, 0}));
    EXPECT_TRUE(tap.handleKeyRelease());
    EXPECT_EQ(posted.size(), 1u) << "keys typed while closing never reach the history view";
    const std::vector<CapturedKey> kept = tap.endHandOff();
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_EQ(kept[0].nativeKeycode, 38u);
    EXPECT_EQ(kept[1].nativeKeycode, 56u);
    EXPECT_EQ(kept[2].nativeKeycode, 36u);
    EXPECT_TRUE(tap.endHandOff().empty());
    EXPECT_FALSE(tap.isRunning());
}

TEST(PanelSlide, TurnsRoundWhereItIs)
{
    PanelSlide slide;
    QSignalSpy finished(&slide, &PanelSlide::finished);
    slide.slideIn();
    ASSERT_TRUE(QTest::qWaitFor([&] { return slide.visibleFraction() > 0.5; }, 5000));
    ASSERT_TRUE(slide.isRunning());
    // Out from where it stands: no jump to fully shown, no jump to hidden.
    std::vector<double> seen;
    const auto record = QObject::connect(&slide, &PanelSlide::fractionChanged, [&](double f) { seen.push_back(f); });
    const double turnedAt = slide.visibleFraction();
    slide.slideOut();
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished.count() == 1; }, 5000));
    EXPECT_EQ(finished.at(0).at(0).value<PanelSlide::Direction>(), PanelSlide::Direction::out);
    EXPECT_EQ(slide.visibleFraction(), 0);
    ASSERT_FALSE(seen.empty());
    EXPECT_LE(seen.front(), turnedAt + 1e-9);
    EXPECT_TRUE(std::is_sorted(seen.rbegin(), seen.rend()))
        << "only ever going up and away" << ::testing::PrintToString(seen);
    QObject::disconnect(record);

    // Back in from wherever the turn happens, ending fully shown.
    slide.slideIn();
    ASSERT_TRUE(QTest::qWaitFor([&] { return slide.visibleFraction() > 0.2; }, 5000));
    slide.slideOut();
    slide.slideIn();
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished.count() == 2; }, 5000));
    EXPECT_EQ(slide.visibleFraction(), 1);
}
