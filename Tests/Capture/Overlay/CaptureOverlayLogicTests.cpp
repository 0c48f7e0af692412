// The card's and the toast's rules without a display: the generation rule, label cutting, the
// placement on several screen layouts, the stored settings and the desktop's animations switch.
#include "Quillmere/Capture/CaptureSettings.h"
#include "Quillmere/Capture/Overlay/CaptureOverlayGeometry.h"
#include "Quillmere/Capture/Overlay/CaptureToastContent.h"
#include "Quillmere/Capture/Overlay/TransientTimeline.h"
#include "Quillmere/Platform/DesktopMotion.h"
#include "Support/DisplayTestSupport.h"
#include "Support/TestSupport.h"

#include <QtEndian>
#include <gtest/gtest.h>

using namespace quillmere;
namespace G = CaptureOverlayGeometry;

TEST(TransientTimeline, ALateSlideOutNeverHidesANewerPresentationAndHoverHoldsTheCountdown)
{
    test::FakeClock clock;
    TransientTimeline timeline(clock.clock(), 6000);
    EXPECT_FALSE(timeline.deadline());

    timeline.present();
    clock.advance(5999);
    EXPECT_FALSE(timeline.isDue());
    clock.advance(1);
    EXPECT_TRUE(timeline.isDue());

    // A dismissal starts; a new capture arrives before its slide-out ends.
    const quint64 slideOut = timeline.beginDismissal();
    EXPECT_FALSE(timeline.deadline()) << "a dismissal disarms the countdown";
    timeline.present();
    EXPECT_FALSE(timeline.isCurrent(slideOut)) << "the old slide-out's end must leave the new card alone";
    EXPECT_EQ(timeline.remainingMs(), 6000);

    // The pointer rests on the card for a minute: nothing is due; leaving starts a full new 6 s.
    clock.advance(1000);
    timeline.hoverChanged(true);
    timeline.hoverChanged(true);
    clock.advance(60000);
    EXPECT_FALSE(timeline.isDue());
    EXPECT_FALSE(timeline.remainingMs());
    timeline.hoverChanged(false);
    EXPECT_EQ(timeline.remainingMs(), 6000);
    clock.advance(6000);
    EXPECT_TRUE(timeline.isDue());

    // Its own slide-out's end is honoured; after it, a leave (no hover) arms nothing.
    const quint64 last = timeline.beginDismissal();
    EXPECT_TRUE(timeline.isCurrent(last));
    timeline.hoverChanged(false);
    EXPECT_FALSE(timeline.deadline());

    // A new presentation starts unhovered even when the pointer was on the old card.
    timeline.present();
    timeline.hoverChanged(true);
    timeline.present();
    EXPECT_FALSE(timeline.isHovering());
    EXPECT_EQ(timeline.remainingMs(), 6000);
}

TEST(CaptureToastContent, LabelsAreCutInUserPerceivedCharacters)
{
    const QString letters49 = QString(49, QLatin1Char('a'));
    EXPECT_EQ(CaptureToastContent::cutAtEnd(QString(48, QLatin1Char('a'))), QString(48, QLatin1Char('a')));
    EXPECT_EQ(CaptureToastContent::cutAtEnd(letters49), QString(47, QLatin1Char('a')) + QChar(0x2026));

    // A family emoji (one character of several code points) and an accent written as two code
    // points each count once and are never split.
    const QString family =
        QString::fromUtf8("\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7");
    const QString eAcute = QStringLiteral("e") + QChar(0x0301);
    QString mixed;
    for (int i = 0; i < 25; ++i)
        mixed += family + eAcute;
    const QString cut = CaptureToastContent::cutAtEnd(mixed);
    QString expected;
    for (int i = 0; i < 23; ++i)
        expected += family + eAcute;
    expected += family + QChar(0x2026);
    EXPECT_EQ(cut, expected);
    EXPECT_EQ(CaptureToastContent::cutAtEnd(family.repeated(48)), family.repeated(48));

    // Sixty characters in the middle: 24, "…", the last 23.
    QString name;
    for (int i = 0; i < 60; ++i)
        name += QChar(u'A' + i % 26);
    EXPECT_EQ(CaptureToastContent::cutInMiddle(name), name.left(24) + QChar(0x2026) + name.right(23));
    EXPECT_EQ(CaptureToastContent::cutInMiddle(family.repeated(60)),
              family.repeated(24) + QChar(0x2026) + family.repeated(23));
}

TEST(CaptureToastContent, EachKindOfClipGetsItsGlyphLabelAndThumbnailRule)
{
    auto clip = [](ClipKind kind, std::optional<QString> text, std::optional<QString> source = {}) {
        auto c = std::make_shared<ClipItem>();
        c->setKind(kind);
        c->setText(text);
        c->setSourceAppName(source);
        return c;
    };
    const QImage thumb = test::filled(10, 10);

    auto ocr = clip(ClipKind::text, QStringLiteral("  \n "), QStringLiteral("Quillmere OCR"));
    EXPECT_EQ(CaptureToastContent::make(*ocr).glyph, "text.viewfinder");
    EXPECT_EQ(CaptureToastContent::make(*ocr).label, "Copied text");

    auto multiLine = clip(ClipKind::text, QStringLiteral("  first\nsecond\n"));
    EXPECT_EQ(CaptureToastContent::make(*multiLine).label, "first second");
    EXPECT_EQ(CaptureToastContent::make(*multiLine).glyph, "doc.plaintext");

    auto unknown = std::make_shared<ClipItem>();
    unknown->setKindRawValue(QStringLiteral("hologram"));
    EXPECT_EQ(CaptureToastContent::make(*unknown).label, "Text");
    EXPECT_FALSE(CaptureToastContent::thumbnailData(*unknown));

    auto recording = clip(ClipKind::file, QStringLiteral("/tmp/r.mp4"), QStringLiteral("Quillmere Recording"));
    recording->setImageData(test::png(8, 8));
    EXPECT_EQ(CaptureToastContent::make(*recording, thumb).label, "Screen recording");
    EXPECT_TRUE(CaptureToastContent::make(*recording, thumb).thumbnail.isNull());
    EXPECT_FALSE(CaptureToastContent::thumbnailData(*recording)) << "a recording makes no thumbnail";

    auto image = clip(ClipKind::image, std::nullopt, QStringLiteral("Some Editor"));
    image->setImageData(test::png(8, 8));
    const auto imageContent = CaptureToastContent::make(*image, thumb);
    EXPECT_EQ(imageContent.glyph, "photo");
    EXPECT_EQ(imageContent.label, "Screenshot");
    EXPECT_FALSE(imageContent.thumbnail.isNull());
    EXPECT_TRUE(CaptureToastContent::thumbnailData(*image));

    auto file = clip(ClipKind::file, QStringLiteral("/x"));
    file->setFileName(QString(30, QLatin1Char('f')) + QString(30, QLatin1Char('g')));
    EXPECT_EQ(CaptureToastContent::make(*file).label,
              QString(24, QLatin1Char('f')) + QChar(0x2026) + QString(23, QLatin1Char('g')));

    // Thumbnails come out at most 44 on the longest side, keeping the shape; junk gives none.
    const QImage wide = CaptureToastContent::makeThumbnail(test::png(3840, 2160));
    EXPECT_EQ(wide.size(), QSize(44, 25));
    EXPECT_TRUE(CaptureToastContent::makeThumbnail(QByteArray("not an image")).isNull());
}

TEST(CaptureOverlayGeometry, CornersSitInsideTheVisibleAreaAndEnterFromTheirSide)
{
    const QSizeF card(210, 154);
    // A screen with a 40-high bar at the bottom, and a second screen to its left at negative x.
    const QRectF frame(0, 0, 1920, 1080), visible(0, 0, 1920, 1040);
    EXPECT_EQ(G::overlayOrigin(card, CaptureOverlayPosition::bottomLeft, visible), QPointF(16, 1040 - 154 - 16));
    EXPECT_EQ(G::overlayOrigin(card, CaptureOverlayPosition::topRight, visible), QPointF(1920 - 210 - 16, 16));
    EXPECT_EQ(G::overlayOrigin(card, CaptureOverlayPosition::topLeft, std::nullopt), QPointF(16, 16));

    const QRectF left(-1280, 100, 1280, 1024);
    const QPointF target = G::overlayOrigin(card, CaptureOverlayPosition::bottomRight, left);
    EXPECT_EQ(target, QPointF(-210 - 16, 100 + 1024 - 154 - 16));
    EXPECT_EQ(G::startOrigin(card, CaptureOverlayPosition::bottomRight, left, target), QPointF(8, target.y()))
        << "a right-corner card enters from beyond its own screen's right edge";
    EXPECT_EQ(G::startOrigin(card, CaptureOverlayPosition::bottomLeft, frame, QPointF(16, 870)),
              QPointF(-210 - 8, 870));
    EXPECT_EQ(G::startOrigin(card, CaptureOverlayPosition::bottomLeft, std::nullopt, QPointF(16, 16)), QPointF(16, 16));
}

TEST(CaptureOverlayGeometry, DismissalLeavesByTheNearestEdgeOfTheBestScreen)
{
    const QRectF screen(0, 0, 1920, 1080);
    // Bottom left, nothing at the left: sideways to the left.
    const QRectF bottomLeft(16, 910, 210, 154);
    auto exit = G::exitFor(bottomLeft, {screen}, std::nullopt);
    EXPECT_EQ(exit.edge, CaptureOverlayDismissalEdge::left);
    EXPECT_EQ(exit.origin, QPointF(-210 - 8, 910));

    // A 70-wide bar at the left pushed the card inwards: the bottom edge is nearer now.
    const QRectF besideBar(86, 910, 210, 154);
    exit = G::exitFor(besideBar, {screen}, std::nullopt);
    EXPECT_EQ(exit.edge, CaptureOverlayDismissalEdge::bottom);
    EXPECT_EQ(exit.origin, QPointF(86, 1080 + 8));

    // Top right of a second screen at the right.
    const QRectF second(1920, 0, 2560, 1440);
    const QRectF topRight(1920 + 2560 - 226, 16, 210, 154);
    exit = G::exitFor(topRight, {screen, second}, std::nullopt);
    EXPECT_EQ(exit.edge, CaptureOverlayDismissalEdge::right);
    EXPECT_EQ(exit.origin.x(), 1920 + 2560 + 8);

    // Within the tolerance the preferred side wins over an exactly nearest edge.
    EXPECT_EQ(G::exitEdge(CaptureOverlayDismissalEdge::left, QRectF(16.4, 910, 210, 154), screen),
              CaptureOverlayDismissalEdge::left);
    EXPECT_EQ(G::exitEdge(CaptureOverlayDismissalEdge::left, QRectF(16.6, 910, 210, 154), screen),
              CaptureOverlayDismissalEdge::bottom);
    EXPECT_EQ(G::exitEdge(CaptureOverlayDismissalEdge::right, QRectF(16, 16, 100, 100), QRectF(0, 0, 132, 1000)),
              CaptureOverlayDismissalEdge::right);
    EXPECT_EQ(G::exitEdge(CaptureOverlayDismissalEdge::right, QRectF(16, 16, 100, 100), QRectF(0, 0, 133, 1000)),
              CaptureOverlayDismissalEdge::left);

    // Off every screen: equal (zero) overlaps go to the nearer centre; exact ties to the first.
    const QRectF away(5000, 5000, 100, 100);
    const QRectF near(4000, 4000, 500, 500), far(0, 0, 500, 500);
    EXPECT_EQ(G::bestScreenFrame(away, {far, near}), near);
    const QRectF a(0, 0, 100, 100), b(200, 0, 100, 100);
    EXPECT_EQ(G::bestScreenFrame(QRectF(100, 0, 100, 100), {a, b}), a);
    EXPECT_EQ(G::bestScreenFrame(away, {}), std::nullopt);

    // No screens at all: the screen it was shown on decides; else the card's own frame.
    exit = G::exitFor(bottomLeft, {}, screen);
    EXPECT_EQ(exit.edge, CaptureOverlayDismissalEdge::left);
    exit = G::exitFor(bottomLeft, {}, std::nullopt);
    EXPECT_EQ(exit.edge, CaptureOverlayDismissalEdge::right) << "centre x of the card itself is not left of it";
}

TEST(CaptureOverlayGeometry, TheToastHangsCentredFromTheTopOfThePointersScreen)
{
    const QRectF second(1920, 0, 1280, 1024);
    EXPECT_EQ(G::toastTarget(QSizeF(201, 36), second), QPointF(std::round(2560 - 100.5), 0));
    EXPECT_EQ(G::toastStart(QSizeF(201, 36), second), QPointF(std::round(2560 - 100.5), -36));
    const QRectF below(0, 1080, 1920, 1080);
    EXPECT_EQ(G::toastTarget(QSizeF(200, 36), below), QPointF(860, 1080));
    EXPECT_EQ(G::toastStart(QSizeF(200, 36), below), QPointF(860, 1080 - 36));
}

TEST(CaptureSettings, TheCardAndToastReadCornerAndSwitchWithTheirFallbacks)
{
    test::TempPreferences prefs;
    EXPECT_EQ(captureOverlayPosition(*prefs), CaptureOverlayPosition::bottomLeft);
    EXPECT_TRUE(notchCaptureToastEnabled(*prefs));
    prefs->setString(PreferenceKeys::captureOverlayPosition, QStringLiteral("TopRight"));
    prefs->setString(PreferenceKeys::notchCaptureToastEnabled, QStringLiteral("false"));
    EXPECT_EQ(captureOverlayPosition(*prefs), CaptureOverlayPosition::bottomLeft) << "case matters";
    EXPECT_TRUE(notchCaptureToastEnabled(*prefs)) << "a text is not a flag";
    prefs->setString(PreferenceKeys::captureOverlayPosition, QStringLiteral("topRight"));
    prefs->setBool(PreferenceKeys::notchCaptureToastEnabled, false);
    EXPECT_EQ(captureOverlayPosition(*prefs), CaptureOverlayPosition::topRight);
    EXPECT_FALSE(notchCaptureToastEnabled(*prefs));
}

namespace {

// An XSETTINGS blob as a settings daemon writes it, in either byte order.
QByteArray xsettings(bool bigEndian, int animations, bool truncate = false)
{
    QByteArray out;
    auto u8 = [&](quint8 v) { out.append(char(v)); };
    auto u16 = [&](quint16 v) {
        char b[2];
        bigEndian ? qToBigEndian(v, b) : qToLittleEndian(v, b);
        out.append(b, 2);
    };
    auto u32 = [&](quint32 v) {
        char b[4];
        bigEndian ? qToBigEndian(v, b) : qToLittleEndian(v, b);
        out.append(b, 4);
    };
    auto name = [&](const QByteArray &n) {
        u16(quint16(n.size()));
        out.append(n);
        out.append(QByteArray((4 - n.size() % 4) % 4, '\0'));
    };
    u8(bigEndian ? 1 : 0);
    out.append(QByteArray(3, '\0'));
    u32(7);
    u32(3);
    u8(1); // string
    u8(0);
    name("Net/ThemeName");
    u32(0);
    u32(5);
    out.append("Adwai");
    out.append(QByteArray(3, '\0'));
    u8(2); // colour
    u8(0);
    name("Gtk/Color");
    u32(0);
    for (int i = 0; i < 4; ++i)
        u16(quint16(1000 * i));
    u8(0); // integer
    u8(0);
    name("Gtk/EnableAnimations");
    u32(0);
    u32(quint32(animations));
    if (truncate)
        out.chop(2);
    return out;
}

} // namespace

TEST(XSettingsMotion, ParsesBothByteOrdersAndStopsAtACutShortSetting)
{
    for (bool big : {false, true}) {
        const auto settings = XSettingsMotion::parse(xsettings(big, 0));
        ASSERT_TRUE(settings);
        EXPECT_EQ(settings->at(QStringLiteral("Gtk/EnableAnimations")).toInt(), 0);
        EXPECT_EQ(settings->at(QStringLiteral("Net/ThemeName")).toString(), "Adwai");
        EXPECT_EQ(settings->at(QStringLiteral("Gtk/Color")).toList().at(3).toInt(), 3000);
    }
    const auto cut = XSettingsMotion::parse(xsettings(false, 0, true));
    ASSERT_TRUE(cut);
    EXPECT_FALSE(cut->count(QStringLiteral("Gtk/EnableAnimations")));
    EXPECT_EQ(cut->size(), 2u);
    EXPECT_FALSE(XSettingsMotion::parse(QByteArray("\x05\0\0\0\0\0\0\0\0\0\0\0", 12)));
    EXPECT_FALSE(XSettingsMotion::parse(QByteArray(4, '\0')));
    // A count far beyond the data must not read past it.
    QByteArray lying = xsettings(false, 1);
    lying[8] = char(0xff);
    lying[9] = char(0xff);
    ASSERT_TRUE(XSettingsMotion::parse(lying));
    EXPECT_EQ(XSettingsMotion::parse(lying)->size(), 3u);
}
