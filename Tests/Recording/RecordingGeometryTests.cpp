#include "Quillmere/Platform/Core/Preferences.h"
#include "Quillmere/Recording/RecordingAudioPreferences.h"
#include "Quillmere/Recording/RecordingGeometry.h"
#include "Support/TestSupport.h"

#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::recording;

TEST(RecordingGeometry, PixelSizesAreEvenAndAtLeastTwo)
{
    EXPECT_EQ(evenPixels(0.7, 2), 2);
    EXPECT_EQ(evenPixels(100.3, 2), 200);
    EXPECT_EQ(evenPixels(100.5, 1), 100);
    EXPECT_EQ(evenPixels(0, 1), 2);

    // A rectangle on a second screen, scale 2: the grab is in that screen's device pixels.
    const QRect screen(1600, 0, 800, 500);
    const QRect native(1600, 0, 1600, 1000);
    const CaptureArea area = captureArea(screen, 2, native, QRectF(1700, 50, 100.3, 40));
    EXPECT_EQ(area.output, QSize(200, 80));
    EXPECT_EQ(area.source, QRect(1800, 100, 200, 80));
    // A size rounded up at the screen's edge moves the grab inward instead of off the screen.
    EXPECT_EQ(captureArea(QRect(0, 0, 101, 50), 1, QRect(0, 0, 101, 50), QRectF(0, 0, 101, 50)).source,
              QRect(0, 0, 100, 50));
    EXPECT_EQ(captureArea(QRect(0, 0, 1599, 999), 1, QRect(0, 0, 1599, 999), std::nullopt).output, QSize(1598, 998));
}

TEST(RecordingGeometry, DraggedRectanglesSnapToTheVideoGridInsideTheScreen)
{
    const QRectF bounds(0, 0, 1000, 600);
    EXPECT_EQ(selectionRect({10, 10}, {111.3, 60.6}, bounds, 2), QRectF(10, 10, 101, 51));
    EXPECT_EQ(selectionRect({111.3, 60.6}, {10, 10}, bounds, 1), QRectF(10, 10, 102, 50));
    EXPECT_EQ(selectionRect({900, 300}, {1200, 300}, bounds, 1), QRectF(900, 300, 100, 2));
    EXPECT_EQ(pixelSizeLabel(QRectF(0, 0, 640, 0.4), 2), QStringLiteral("1280 × 2"));
}

TEST(RecordingGeometry, FloatingPanelsGoBelowThenAboveThenInside)
{
    const QRectF screen(0, 0, 1000, 800);
    const QSizeF panel(200, 40);
    EXPECT_EQ(floatingPanelOrigin(panel, QRectF(400, 100, 200, 200), screen, 14), QPointF(400, 314));
    EXPECT_EQ(floatingPanelOrigin(panel, QRectF(400, 600, 200, 190), screen, 14), QPointF(400, 546));
    // Kept 8 points inside the sides.
    EXPECT_EQ(floatingPanelOrigin(panel, QRectF(0, 100, 50, 50), screen, 14).x(), 8);
    // Filling the screen: both edges overlap alike and the top wins.
    EXPECT_EQ(floatingPanelOrigin(panel, screen, screen, 12), QPointF(400, 12));
    // No rectangle: centred, above the bottom edge.
    EXPECT_EQ(floatingPanelOrigin(panel, std::nullopt, screen, 14), QPointF(400, 746));
}

TEST(RecordingGeometry, ClockAndThumbnailTimes)
{
    EXPECT_EQ(elapsedText(-5), QStringLiteral("0:00"));
    EXPECT_EQ(elapsedText(59999), QStringLiteral("0:59"));
    EXPECT_EQ(elapsedText(3661000), QStringLiteral("61:01"));
    EXPECT_DOUBLE_EQ(thumbnailTime(1.4), 0.7);
    EXPECT_DOUBLE_EQ(thumbnailTime(10), 1.0);
    EXPECT_DOUBLE_EQ(thumbnailTime(std::numeric_limits<double>::infinity()), 0);
    EXPECT_DOUBLE_EQ(thumbnailTime(std::nullopt), 0);
}

TEST(RecordingAudioPreferences, StoredFormIsStrict)
{
    test::TempPreferences prefs;
    EXPECT_EQ(RecordingAudioPreferences::load(*prefs), RecordingAudioPreferences{});
    prefs->setData(RecordingAudioPreferences::key, R"({"micEnabled":true,"systemAudioEnabled":false})");
    EXPECT_EQ(RecordingAudioPreferences::load(*prefs), (RecordingAudioPreferences{true, std::nullopt, false}));
    prefs->setData(RecordingAudioPreferences::key, R"({"micEnabled":true})");
    EXPECT_EQ(RecordingAudioPreferences::load(*prefs), RecordingAudioPreferences{});

    RecordingAudioPreferences{false, std::nullopt, true}.save(*prefs);
    EXPECT_FALSE(prefs->data(RecordingAudioPreferences::key)->contains("micDeviceID"));
    const RecordingAudioPreferences chosen{true, QStringLiteral("alsa_input.usb"), true};
    chosen.save(*prefs);
    EXPECT_EQ(RecordingAudioPreferences::load(*prefs), chosen);
}
