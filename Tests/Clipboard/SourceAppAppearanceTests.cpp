#include "Quillmere/Clipboard/SourceAppAppearance.h"
#include "Quillmere/Clipboard/SourceAppRegistry.h"
#include "Quillmere/Model/ModelContainer.h"
#include "Quillmere/Platform/DesktopEntries.h"

#include "Support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace quillmere;

namespace {

QImage filled(const QColor &colour, int side = 32)
{
    QImage img(side, side, QImage::Format_ARGB32);
    img.fill(colour);
    return img;
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

// Installed applications in a temporary data dir.
struct Applications {
    QTemporaryDir dir;
    DesktopEntries entries{{dir.path()}, dir.filePath(QStringLiteral("proc"))};

    void add(const QString &id, const std::optional<QColor> &iconColour)
    {
        QByteArray body = "[Desktop Entry]\nType=Application\nName=" + id.toUtf8() + "\nExec=" + id.toUtf8() + "\n";
        if (iconColour) {
            const QString icon = dir.filePath(QStringLiteral("icons/") + id + QStringLiteral(".png"));
            QDir().mkpath(QFileInfo(icon).absolutePath());
            QImage img = filled(Qt::transparent, 64);
            for (int y = 8; y < 56; ++y)
                for (int x = 8; x < 56; ++x)
                    img.setPixelColor(x, y, *iconColour);
            img.save(icon);
            body += "Icon=" + icon.toUtf8() + "\n";
        }
        QDir().mkpath(dir.filePath(QStringLiteral("applications")));
        QFile f(dir.filePath(QStringLiteral("applications/") + id + QStringLiteral(".desktop")));
        f.open(QIODevice::WriteOnly);
        f.write(body);
        f.close();
        entries.reload();
    }
};

} // namespace

TEST(SourceAppColours, HexTextAndPaletteIndex)
{
    EXPECT_EQ(SourceAppAppearance::colorFromHex(QStringLiteral("FF7139")),
              (RGBComponents{1.0, 0x71 / 255.0, 0x39 / 255.0}));
    EXPECT_EQ(SourceAppAppearance::colorFromHex(QStringLiteral("ff7139")), SourceAppAppearance::colorFromHex(QStringLiteral("FF7139")));
    EXPECT_EQ(SourceAppAppearance::colorFromHex(QStringLiteral("+00080")), (RGBComponents{0, 0, 0x80 / 255.0}));
    EXPECT_FALSE(SourceAppAppearance::colorFromHex(QStringLiteral("12345G")));
    EXPECT_FALSE(SourceAppAppearance::colorFromHex(QStringLiteral("#FF7139")));
    EXPECT_FALSE(SourceAppAppearance::colorFromHex(QStringLiteral("FF713")));
    EXPECT_FALSE(SourceAppAppearance::colorFromHex(QStringLiteral("-00001")));
    EXPECT_FALSE(SourceAppAppearance::colorFromHex(QString::fromUtf8("12345\u0663"))); // a non-Latin digit

    EXPECT_EQ(SourceAppAppearance::hexText(1.0, 0.5, -0.2), QStringLiteral("FF8000"));
    EXPECT_EQ(SourceAppAppearance::hexText(1.7, 0.0, 0.002), QStringLiteral("FF0001"));

    // 32-bit FNV-1a over the UTF-8 bytes, three low bits.
    EXPECT_EQ(SourceAppAppearance::fallbackPaletteIndex(QString()), 5);
    EXPECT_EQ(SourceAppAppearance::fallbackPaletteIndex(QStringLiteral("a")), 4);
    EXPECT_EQ(SourceAppAppearance::fallbackPaletteIndex(QStringLiteral("com.example.Unknown")), 2);
    EXPECT_EQ(SourceAppAppearance::fallbackPaletteIndex(QString::fromUtf8("\u00e9")), 1);
}

TEST(SourceAppColours, DominantHueAndTuning)
{
    // Fully transparent: nothing to measure.
    EXPECT_FALSE(SourceAppAppearance::dominantColor(filled(Qt::transparent)));

    // Grey icons have no hue (Qt reports -1): grey out, slate after tuning.
    for (const QColor grey : {QColor(Qt::black), QColor(128, 128, 128), QColor(Qt::white)}) {
        const auto dominant = SourceAppAppearance::dominantColor(filled(grey));
        ASSERT_TRUE(dominant);
        EXPECT_NEAR(hsb(*dominant).s, 0.0, 0.01);
        const HSB slate = hsb(SourceAppAppearance::tunedBrandColor(*dominant));
        EXPECT_NEAR(slate.h, 0.61, 0.01);
        EXPECT_NEAR(slate.s, 0.12, 0.01);
        EXPECT_NEAR(slate.b, 0.42, 0.01);
    }

    // Mostly grey with a coloured corner of more than 4 %: the colour wins.
    QImage mixed = filled(QColor(90, 90, 90), 16);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            mixed.setPixelColor(x, y, QColor::fromHsvF(0.6f, 0.9f, 0.9f));
    EXPECT_NEAR(hsb(*SourceAppAppearance::dominantColor(mixed)).h, 0.6, 0.01);
    // Less than 4 %: grey.
    QImage speck = filled(QColor(90, 90, 90), 16);
    speck.setPixelColor(0, 0, Qt::red);
    speck.setPixelColor(1, 0, Qt::red);
    EXPECT_LT(hsb(*SourceAppAppearance::dominantColor(speck)).s, 0.05);

    // Heaviest hue bin wins over a larger but paler one.
    QImage two = filled(QColor::fromHsvF(0.33f, 0.2f, 0.3f), 16);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 6; ++x)
            two.setPixelColor(x, y, QColor::fromHsvF(0.0f, 1.0f, 1.0f));
    EXPECT_NEAR(hsb(*SourceAppAppearance::dominantColor(two)).h, 0.0, 0.01);

    // Every tuned colour lands in the readable range; yellows are lifted further.
    const HSB yellow = hsb(SourceAppAppearance::tunedBrandColor(QColor::fromHsvF(0.15f, 0.9f, 0.4f)));
    EXPECT_NEAR(yellow.h, 0.15, 0.01);
    EXPECT_GE(yellow.b, 0.75 - 0.005);
    for (float h : {0.0f, 0.3f, 0.6f, 0.9f})
        for (float s : {0.13f, 0.5f, 1.0f})
            for (float b : {0.1f, 0.5f, 1.0f}) {
                const HSB t = hsb(SourceAppAppearance::tunedBrandColor(QColor::fromHsvF(h, s, b)));
                EXPECT_GE(t.s, 0.72 - 0.005);
                EXPECT_LE(t.s, 0.92 + 0.005);
                EXPECT_LE(t.b, 0.8 + 0.005);
                EXPECT_GE(t.b, 0.52 - 0.005);
            }
}

TEST(SourceAppColours, BrandColoursFromTableIconOrPalette)
{
    Applications apps;
    apps.add(QStringLiteral("org.example.Red"), QColor(220, 30, 30));
    apps.add(QStringLiteral("org.example.Plain"), std::nullopt);
    SourceAppAppearance appearance(apps.entries);

    // The table answers whether or not the browser is installed, Linux ids included.
    EXPECT_EQ(appearance.brandColorHex(QStringLiteral("com.apple.Safari"), QStringLiteral("com.apple.Safari")),
              QStringLiteral("006CFF"));
    EXPECT_EQ(appearance.brandColorHex(QStringLiteral("firefox-esr"), QString()), QStringLiteral("FF7139"));
    EXPECT_EQ(appearance.brandColorHex(QStringLiteral("com.google.Chrome"), QString()),
              appearance.brandColorHex(QStringLiteral("google-chrome"), QString()));

    // No id, no key: palette entry 5.
    EXPECT_EQ(appearance.brandColorHex(QString(), QString()), QStringLiteral("F2548C"));
    // Not installed: the palette entry of the key.
    EXPECT_EQ(appearance.brandColorHex(QStringLiteral("com.example.Unknown"), QStringLiteral("com.example.Unknown")),
              QStringLiteral("9C54F5"));
    EXPECT_FALSE(appearance.applicationURL(QStringLiteral("com.example.Unknown")));
    EXPECT_FALSE(appearance.iconPNG(QStringLiteral("com.example.Unknown")));

    // Installed with a red icon: a tuned red.
    const HSB red = hsb(appearance.brandColor(QStringLiteral("org.example.Red"), QString()));
    EXPECT_TRUE(red.h < 0.02 || red.h > 0.98);
    EXPECT_GE(red.s, 0.72 - 0.005);
    EXPECT_LE(red.b, 0.8 + 0.005);
    const auto png = appearance.iconPNG(QStringLiteral("org.example.Red"));
    ASSERT_TRUE(png);
    const QImage icon = QImage::fromData(*png, "PNG");
    EXPECT_EQ(icon.size(), QSize(64, 64));
    EXPECT_EQ(icon.pixelColor(32, 32), QColor(220, 30, 30));

    // Installed without an icon: palette colour, no icon data, the default glyph on screen.
    EXPECT_EQ(appearance.brandColorHex(QStringLiteral("org.example.Plain"), QStringLiteral("com.example.Unknown")),
              QStringLiteral("9C54F5"));
    EXPECT_FALSE(appearance.iconPNG(QStringLiteral("org.example.Plain")));
    EXPECT_FALSE(appearance.icon(QStringLiteral("org.example.Plain")).isNull());
    EXPECT_FALSE(appearance.icon(QString()).isNull());
}

TEST(SourceAppRegistryTests, OneRecordPerApplicationAndRun)
{
    Applications apps;
    apps.add(QStringLiteral("org.example.Red"), QColor(220, 30, 30));
    SourceAppAppearance appearance(apps.entries);
    struct Write {
        QString id;
        std::optional<QString> name;
        QString colour;
        bool hasIcon;
    };
    std::vector<Write> writes;
    SourceAppRegistry registry(appearance, [&](const QString &id, const std::optional<QString> &name,
                                               const QString &colour, const std::optional<QByteArray> &icon) {
        writes.push_back({id, name, colour, icon.has_value()});
    });

    registry.registerApplication(QString(), QStringLiteral("Nobody"));
    registry.registerApplication(QStringLiteral("org.example.Red"), QStringLiteral("Red"));
    registry.registerApplication(QStringLiteral("org.example.Red"), QStringLiteral("Renamed"));
    registry.registerApplication(QStringLiteral("com.example.Unknown"), std::nullopt);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].name, QStringLiteral("Red"));
    EXPECT_TRUE(writes[0].hasIcon);
    EXPECT_EQ(writes[1].colour, QStringLiteral("9C54F5"));
    EXPECT_FALSE(writes[1].name);
    EXPECT_FALSE(writes[1].hasIcon);

    EXPECT_EQ(SourceAppRegistry::displayName(QStringLiteral("Quillmere")), QStringLiteral("Brindlewax"));
    EXPECT_EQ(SourceAppRegistry::displayName(QStringLiteral("Quillmere Drop")), QStringLiteral("Brindlewax Drop"));
    EXPECT_EQ(SourceAppRegistry::displayName(QStringLiteral("QuillmereDrop")), QStringLiteral("QuillmereDrop"));
    EXPECT_EQ(SourceAppRegistry::displayName(QStringLiteral("My Quillmere")), QStringLiteral("My Quillmere"));
    EXPECT_FALSE(SourceAppRegistry::displayName(std::nullopt));
}

TEST(SourceAppRegistryTests, BackfillRegistersEachStoredApplicationOnce)
{
    test::FakeClock clock;
    QString error;
    auto container = ModelContainerFactory::makeInMemoryContainer(clock.clock(), &error);
    ASSERT_TRUE(container) << error.toStdString();
    ModelContext &context = container->mainContext();
    auto addClip = [&](const char *bundleID, const char *name, int minutes) {
        auto clip = std::make_shared<ClipItem>();
        clip->setKind(ClipKind::text);
        clip->setText(QStringLiteral("x"));
        clip->setCreatedAt(clock.now().addSecs(minutes * 60));
        if (bundleID)
            clip->setSourceAppBundleID(QString::fromLatin1(bundleID));
        if (name)
            clip->setSourceAppName(QString::fromLatin1(name));
        context.insert(clip);
    };
    addClip("org.example.Old", "Old Name", 1);
    addClip("org.example.Old", "New Name", 5);
    addClip("org.example.Other", "Quillmere Drop", 2);
    addClip("", "Empty", 3);
    addClip(nullptr, "None", 4);
    addClip("org.example.Seen", "Seen", 6);
    ASSERT_TRUE(context.save(&error)) << error.toStdString();

    Applications apps;
    SourceAppAppearance appearance(apps.entries);
    QMap<QString, std::optional<QString>> written;
    int calls = 0;
    SourceAppRegistry registry(appearance, [&](const QString &id, const std::optional<QString> &name, const QString &,
                                               const std::optional<QByteArray> &) {
        written[id] = name;
        ++calls;
    });
    registry.registerApplication(QStringLiteral("org.example.Seen"), QStringLiteral("Seen"));
    registry.backfill(context);
    registry.backfill(context);

    EXPECT_EQ(calls, 3);
    EXPECT_EQ(written.value(QStringLiteral("org.example.Old")), QStringLiteral("New Name"));
    EXPECT_EQ(written.value(QStringLiteral("org.example.Other")), QStringLiteral("Brindlewax Drop"));
    EXPECT_TRUE(written.contains(QStringLiteral("org.example.Seen")));
}
