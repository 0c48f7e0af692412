#include "SettingsWindowFixture.h"

#include "Quillmere/Settings/CapturePane.h"
#include "Quillmere/Settings/RulePanes.h"
#include "Quillmere/Settings/SettingsPanes.h"

#include <QPainter>

using namespace quillmere;
using quillmere::test::SettingsWindowFixture;

TEST(SettingsWindow, EveryPaneIsReachedFromTheSidebarAndPhotographed)
{
    SettingsWindowFixture f;
    const PageRef work = f.store->createPage("Work", QString("blue"));
    f.store->createPage("Coding Snippets");
    f.putText("hello")->setIsPinned(true);
    f.store->assignClip(f.putText("note"), work);
    SettingsWindow &window = f.open();
    EXPECT_EQ(window.size(), QSize(760, 600));
    EXPECT_TRUE(window.sidebarButton(SettingsPane::general)->isSelected());
    for (SettingsPane pane : allSettingsPanes()) {
        f.select(pane);
        EXPECT_EQ(window.model().selectedPane(), pane);
        EXPECT_TRUE(window.sidebarButton(pane)->isSelected());
        // The Capture page holds several cards.
        auto *section = pane == SettingsPane::capture ? window.detail()->findChild<SettingsSection *>()
                                                      : qobject_cast<SettingsSection *>(window.detail());
        ASSERT_TRUE(section);
        for (const QLabel *label : window.detail()->findChildren<QLabel *>())
            EXPECT_FALSE(label->text().contains("not available")) << qPrintable(label->text());
        f.screenshot(rawValue(pane));
    }
}

TEST(SettingsGlyphs, EverySymbolTheWindowNamesIsDrawn)
{
    QStringList names{"doc.on.clipboard",
                      "number",
                      "keyboard",
                      "power",
                      "exclamationmark.triangle.fill",
                      "rectangle.inset.filled",
                      "rectangle.stack",
                      "square.grid.2x2",
                      "pause.circle",
                      "speaker.wave.2",
                      "clock.arrow.circlepath",
                      "icloud.and.arrow.up",
                      "checkmark.circle.fill",
                      "checkmark.shield",
                      "lock.doc",
                      "macbook",
                      "sparkles",
                      "lock.fill",
                      "exclamationmark.icloud",
                      "checkmark.icloud",
                      "xmark.icloud",
                      "icloud.slash",
                      "server.rack",
                      "arrow.triangle.2.circlepath",
                      "clock",
                      "waveform.path.ecg",
                      "trash.circle",
                      "folder",
                      "camera.viewfinder",
                      "internaldrive",
                      "chart.bar.doc.horizontal",
                      "square.and.arrow.up.on.square",
                      "square.and.arrow.down.on.square",
                      "tray.and.arrow.down",
                      "square.and.arrow.up",
                      "trash",
                      "doc.plaintext",
                      "link",
                      "photo",
                      "doc",
                      "square.on.square.dashed",
                      "cloud.fill",
                      "crop",
                      "rectangle.dashed",
                      "text.viewfinder",
                      "record.circle",
                      "rectangle.inset.bottomleft.filled",
                      "bell.badge",
                      "lock.open",
                      "externaldrive.fill",
                      "hand.raised.fill"};
    for (SettingsPane pane : allSettingsPanes())
        names << systemImage(pane);
    QImage sheet(8 * 72, int((names.size() + 7) / 8) * 72, QImage::Format_ARGB32);
    sheet.fill(Qt::black);
    QPainter painter(&sheet);
    for (int i = 0; i < names.size(); ++i) {
        EXPECT_TRUE(Glyphs::has(names[i])) << qPrintable(names[i]);
        Glyphs::paint(painter, names[i], QRectF((i % 8) * 72 + 8, (i / 8) * 72 + 8, 56, 56), Qt::white);
    }
    painter.end();
    EXPECT_TRUE(sheet.save(test::artifactPath("settings-glyphs.png")));
}
