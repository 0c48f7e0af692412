#include "Quillmere/Clipboard/SourceAppAppearance.h"
#include "Quillmere/Clipboard/SourceAppRegistry.h"
#include "Quillmere/Model/ModelContainer.h"
#include "Quillmere/Platform/DesktopEntries.h"

#include "Support/DisplayTestSupport.h"
#include "Support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace quillmere;
using namespace Qt::StringLiterals;
using A = SourceAppAppearance;

namespace {

QImage square(const QColor &colour, int side = 16)
{
    return test::filled(side, side, colour);
}

struct HSB {
    double h, s, b;
};
HSB hsb(const QColor &c)
{
    float h, s, b;
    c.toRgb().getHsvF(&h, &s, &b);
    return {h, s, b};
}

// The readable range every tuned brand colour lands in.
void expectReadable(const QColor &colour)
{
    const HSB t = hsb(colour);
    EXPECT_GE(t.s, 0.72 - 0.005);
    EXPECT_LE(t.s, 0.92 + 0.005);
    EXPECT_GE(t.b, 0.52 - 0.005);
    EXPECT_LE(t.b, 0.8 + 0.005);
}

// Installed applications in a temporary data dir, with a square icon of one colour or none.
struct Applications {
    QTemporaryDir dir;
    DesktopEntries entries{{dir.path()}, dir.filePath(u"proc"_s)};

    void add(const QString &id, const std::optional<QColor> &iconColour)
    {
        QByteArray body = "[Desktop Entry]\nType=Application\nName=" + id.toUtf8() + "\nExec=" + id.toUtf8() + "\n";
        if (iconColour) {
            const QString icon = dir.filePath(id + u".png"_s);
            QImage img = square(Qt::transparent, 64);
            QPainter(&img).fillRect(8, 8, 48, 48, *iconColour);
            img.save(icon);
            body += "Icon=" + icon.toUtf8() + "\n";
        }
        QDir().mkpath(dir.filePath(u"applications"_s));
        QFile f(dir.filePath(u"applications/"_s + id + u".desktop"_s));
        f.open(QIODevice::WriteOnly);
        f.write(body);
        f.close();
        entries.reload();
    }
};

} // namespace

TEST(SourceAppColours, HexTextAndPaletteIndex)
{
    EXPECT_EQ(A::colorFromHex(u"FF7139"_s), (RGBComponents{1.0, 0x71 / 255.0, 0x39 / 255.0}));
    EXPECT_EQ(A::colorFromHex(u"ff7139"_s), A::colorFromHex(u"FF7139"_s));
    for (const QString &bad :
         {u"12345G"_s, u"#FF7139"_s, u"FF713"_s, u"-00001"_s, u"12345\u0663"_s /* a non-Latin digit */})
        EXPECT_FALSE(A::colorFromHex(bad)) << bad.toStdString();
    EXPECT_EQ(A::hexText(1.0, 0.5, -0.2), u"FF8000"_s);
    EXPECT_EQ(A::hexText(1.7, 0.0, 0.002), u"FF0001"_s);

    // 32-bit FNV-1a over the UTF-8 bytes, three low bits.
    EXPECT_EQ(A::fallbackPaletteIndex(QString()), 5);
    EXPECT_EQ(A::fallbackPaletteIndex(u"com.example.Unknown"_s), 2);
    EXPECT_EQ(A::fallbackPaletteIndex(u"\u00e9"_s), 1);
}

TEST(SourceAppColours, DominantHueAndTuning)
{
    EXPECT_FALSE(A::dominantColor(square(Qt::transparent))); // nothing to measure

    // Grey icons have no hue (Qt reports -1): grey out, slate after tuning.
    for (const QColor grey : {QColor(Qt::black), QColor(128, 128, 128), QColor(Qt::white)}) {
        const auto dominant = A::dominantColor(square(grey));
        ASSERT_TRUE(dominant);
        EXPECT_NEAR(hsb(*dominant).s, 0.0, 0.01);
        const HSB slate = hsb(A::tunedBrandColor(*dominant));
        EXPECT_NEAR(slate.h, 0.61, 0.01);
        EXPECT_NEAR(slate.s, 0.12, 0.01);
        EXPECT_NEAR(slate.b, 0.42, 0.01);
    }

    // Mostly grey with a coloured corner of more than 4 %: the colour wins; less than 4 %: grey.
    QImage mixed = square(QColor(90, 90, 90));
    QPainter(&mixed).fillRect(0, 0, 4, 4, QColor::fromHsvF(0.6f, 0.9f, 0.9f));
    EXPECT_NEAR(hsb(*A::dominantColor(mixed)).h, 0.6, 0.01);
    QImage speck = square(QColor(90, 90, 90));
    QPainter(&speck).fillRect(0, 0, 2, 1, Qt::red);
    EXPECT_LT(hsb(*A::dominantColor(speck)).s, 0.05);
    // The heaviest hue bin wins over a larger but paler one.
    QImage two = square(QColor::fromHsvF(0.33f, 0.2f, 0.3f));
    QPainter(&two).fillRect(0, 0, 6, 16, QColor::fromHsvF(0.0f, 1.0f, 1.0f));
    EXPECT_NEAR(hsb(*A::dominantColor(two)).h, 0.0, 0.01);

    // Every tuned colour lands in the readable range; yellows are lifted further.
    const HSB yellow = hsb(A::tunedBrandColor(QColor::fromHsvF(0.15f, 0.9f, 0.4f)));
    EXPECT_NEAR(yellow.h, 0.15, 0.01);
    EXPECT_GE(yellow.b, 0.75 - 0.005);
    for (float h : {0.0f, 0.3f, 0.6f, 0.9f})
        for (float s : {0.13f, 0.5f, 1.0f})
            for (float b : {0.1f, 0.5f, 1.0f})
                expectReadable(A::tunedBrandColor(QColor::fromHsvF(h, s, b)));
}

TEST(SourceAppColours, BrandColoursFromTableIconOrPalette)
{
    Applications apps;
    apps.add(u"org.example.Red"_s, QColor(220, 30, 30));
    apps.add(u"org.example.Plain"_s, std::nullopt);
    SourceAppAppearance appearance(apps.entries);

    // The table answers whether or not the browser is installed, Linux ids included.
    EXPECT_EQ(appearance.brandColorHex(u"com.apple.Safari"_s, u"com.apple.Safari"_s), u"006CFF"_s);
    EXPECT_EQ(appearance.brandColorHex(u"firefox-esr"_s, QString()), u"FF7139"_s);
    EXPECT_EQ(appearance.brandColorHex(u"com.google.Chrome"_s, QString()),
              appearance.brandColorHex(u"google-chrome"_s, QString()));
    // No id, no key: palette entry 5. Not installed: the palette entry of the key.
    EXPECT_EQ(appearance.brandColorHex(QString(), QString()), u"F2548C"_s);
    EXPECT_EQ(appearance.brandColorHex(u"com.example.Unknown"_s, u"com.example.Unknown"_s), u"9C54F5"_s);
    EXPECT_FALSE(appearance.applicationURL(u"com.example.Unknown"_s));
    EXPECT_FALSE(appearance.iconPNG(u"com.example.Unknown"_s));

    // Installed with a red icon: a tuned red, and the icon at 64 px.
    const QColor red = appearance.brandColor(u"org.example.Red"_s, QString());
    EXPECT_TRUE(hsb(red).h < 0.02 || hsb(red).h > 0.98);
    expectReadable(red);
    const auto png = appearance.iconPNG(u"org.example.Red"_s);
    ASSERT_TRUE(png);
    const QImage icon = QImage::fromData(*png, "PNG");
    EXPECT_EQ(icon.size(), QSize(64, 64));
    EXPECT_EQ(icon.pixelColor(32, 32), QColor(220, 30, 30));

    // Installed without an icon: palette colour, no icon data, the default glyph on screen.
    EXPECT_EQ(appearance.brandColorHex(u"org.example.Plain"_s, u"com.example.Unknown"_s), u"9C54F5"_s);
    EXPECT_FALSE(appearance.iconPNG(u"org.example.Plain"_s));
    EXPECT_FALSE(appearance.icon(u"org.example.Plain"_s).isNull());
    EXPECT_FALSE(appearance.icon(QString()).isNull());
}

TEST(SourceAppRegistryTests, OneRecordPerApplicationAndRunAlsoWhenBackfilling)
{
    Applications apps;
    apps.add(u"org.example.Red"_s, QColor(220, 30, 30));
    SourceAppAppearance appearance(apps.entries);
    struct Write {
        std::optional<QString> name;
        QString colour;
        bool hasIcon;
    };
    QMap<QString, Write> writes;
    int calls = 0;
    SourceAppRegistry registry(appearance,
                               [&](const QString &id, const std::optional<QString> &name, const QString &colour,
                                   const std::optional<QByteArray> &icon) {
                                   writes[id] = {name, colour, icon.has_value()};
                                   ++calls;
                               });
    registry.registerApplication(QString(), u"Nobody"_s);
    registry.registerApplication(u"org.example.Red"_s, u"Red"_s);
    registry.registerApplication(u"org.example.Red"_s, u"Renamed"_s);
    registry.registerApplication(u"com.example.Unknown"_s, std::nullopt);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(writes[u"org.example.Red"_s].name, u"Red"_s);
    EXPECT_TRUE(writes[u"org.example.Red"_s].hasIcon);
    EXPECT_EQ(writes[u"com.example.Unknown"_s].colour, u"9C54F5"_s);
    EXPECT_FALSE(writes[u"com.example.Unknown"_s].name);
    EXPECT_FALSE(writes[u"com.example.Unknown"_s].hasIcon);

    // Backfill takes each stored application's newest name, once, under the name the user sees.
    test::FakeClock clock;
    auto container = ModelContainerFactory::makeInMemoryContainer(clock.clock(), nullptr);
    ASSERT_TRUE(container);
    ModelContext &context = container->mainContext();
    auto addClip = [&](const char *bundleID, const char *name, int minutes) {
        auto clip = std::make_shared<ClipItem>();
        clip->setText(u"x"_s);
        clip->setCreatedAt(clock.now().addSecs(minutes * 60));
        if (bundleID)
            clip->setSourceAppBundleID(QString::fromLatin1(bundleID));
        clip->setSourceAppName(QString::fromLatin1(name));
        context.insert(clip);
    };
    addClip("org.example.Old", "Old Name", 1);
    addClip("org.example.Old", "New Name", 5);
    addClip("org.example.Other", "Quillmere Drop", 2);
    addClip("", "Empty", 3);
    addClip(nullptr, "None", 4);
    addClip("org.example.Red", "Red again", 6);
    ASSERT_TRUE(context.save(nullptr));
    registry.backfill(context);
    registry.backfill(context);
    EXPECT_EQ(calls, 4);
    EXPECT_EQ(writes[u"org.example.Old"_s].name, u"New Name"_s);
    EXPECT_EQ(writes[u"org.example.Other"_s].name, u"Brindlewax Drop"_s);
    EXPECT_EQ(writes[u"org.example.Red"_s].name, u"Red"_s);

    EXPECT_EQ(SourceAppRegistry::displayName(u"Quillmere"_s), u"Brindlewax"_s);
    EXPECT_EQ(SourceAppRegistry::displayName(u"QuillmereDrop"_s), u"QuillmereDrop"_s);
    EXPECT_EQ(SourceAppRegistry::displayName(u"My Quillmere"_s), u"My Quillmere"_s);
    EXPECT_FALSE(SourceAppRegistry::displayName(std::nullopt));
}
