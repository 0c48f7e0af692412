// The panel's keyboard with real X input (xdotool) on Xvfb + openbox: its own text fields, and
// keys typed through the closing panel into another process's window.
#include "PanelX11Fixture.h"

#include "Quillmere/Pages/Widgets/PinboardTabStrip.h"
#include "Quillmere/Panel/Window/HistoryHeaderBar.h"

#include <QDir>
#include <QLineEdit>
#include <QMenu>
#include <QScreen>
#include <QTimer>
#include <thread>

using namespace quillmere;
using namespace Qt::StringLiterals;

namespace {

QString pageNamed(ClipStore &store, const QString &name)
{
    for (const PageRef &page : store.pages()) {
        if (page->name() == name)
            return page->name();
    }
    return {};
}

QString pageNames(ClipStore &store)
{
    QStringList names;
    for (const PageRef &page : store.pages())
        names << page->name();
    return names.join(u", "_s);
}

} // namespace

TEST_F(PanelX11, APageIsNamedFromThePanelAtAHumanPace)
{
    launch();
    test::TargetWindow target(u"name target"_s);
    makeActive(target);
    openWithHotKey();

    PinboardTabStrip &strip = *controller().contentView().header().tabStrip();
    const QPoint plus = strip.mapToGlobal(strip.addButtonRect().center());
    ASSERT_TRUE(
        test::xdotool({u"mousemove"_s, QString::number(plus.x()), QString::number(plus.y()), u"click"_s, u"1"_s}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return strip.isRenameFieldFocused(); }, test::patience));
    ASSERT_TRUE(test::xdotool({u"type"_s, u"--delay"_s, u"240"_s, u"Recipes"_s}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return strip.renameText() == u"Recipes"_s; }, test::patience))
        << strip.renameText().toStdString();
    QDir().mkpath(QStringLiteral(QUILLMERE_ARTIFACTS_DIR));
    EXPECT_TRUE(QGuiApplication::primaryScreen()->grabWindow(0).save(
        QStringLiteral(QUILLMERE_ARTIFACTS_DIR "/page-naming.png")));
    ASSERT_TRUE(test::xdotool({u"key"_s, u"Return"_s}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !pageNamed(store(), u"Recipes"_s).isEmpty(); }, test::patience))
        << pageNames(store()).toStdString() << " panel shown " << controller().isShown() << " field "
        << strip.renameField()->text().toStdString();
    EXPECT_TRUE(controller().isShown()) << "naming a Page keeps the panel open";
    EXPECT_TRUE(target.field->toPlainText().isEmpty()) << "no letter went through to the window underneath";

    // The tab menu's "Rename" of the same Page.
    PageRef page;
    for (const PageRef &p : store().pages())
        page = p->name() == u"Recipes"_s ? p : page;
    ASSERT_TRUE(page);
    std::unique_ptr<QMenu> menu = strip.contextMenu(page->persistentModelID());
    QAction *rename = nullptr;
    for (QAction *action : menu->actions())
        rename = action->text() == u"Rename"_s ? action : rename;
    ASSERT_TRUE(rename);
    rename->trigger();
    ASSERT_TRUE(QTest::qWaitFor([&] { return strip.isRenameFieldFocused(); }, test::patience));
    ASSERT_TRUE(test::xdotool({u"type"_s, u"--delay"_s, u"300"_s, u"Soups"_s}));
    ASSERT_TRUE(test::xdotool({u"key"_s, u"Return"_s}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !pageNamed(store(), u"Soups"_s).isEmpty(); }, test::patience));
    EXPECT_TRUE(controller().isShown());

    // Back on the cards, a typed letter closes the panel and goes through again.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !strip.isRenameFieldFocused(); }, test::patience));
    controller().contentView().cardArea().setFocus();
    ASSERT_TRUE(test::xdotool({u"type"_s, u"--delay"_s, u"60"_s, u"ok"_s}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return target.field->toPlainText() == u"ok"_s; }, test::patience))
        << target.field->toPlainText().toStdString();
}

TEST_F(PanelX11, KeysTypedThroughTheClosingPanelArriveOnceInOrderAtEveryPace)
{
    launch();
    test::HelperWindow target({u"--text"_s, u"type-through target"_s});
    const quint32 window = target.waitUntilReady(test::patience);
    ASSERT_NE(window, 0u) << "the target program did not start";
    activate(window);

    // A busy main thread right after the panel asked for the target's focus, as on a loaded
    // machine: keys typed meanwhile must still come after the ones the panel already has.
    QObject::connect(&controller().panel(), &HistoryPanel::visibleFractionChanged, [&](double fraction) {
        if (fraction == 0 && controller().isHiding())
            QTimer::singleShot(0, [] { std::this_thread::sleep_for(std::chrono::milliseconds(250)); });
    });
    QString expected;
    for (const auto &[delay, words] :
         {std::pair{30, u"hello"_s}, std::pair{120, u" world"_s}, std::pair{300, u" typed"_s},
          std::pair{120, u" hello"_s}, std::pair{150, u" world"_s}}) {
        ASSERT_NO_FATAL_FAILURE(openWithHotKey()) << delay << " ms per key, after " << target.text().toStdString();
        // xdotool types a key per two of its delays.
        ASSERT_TRUE(test::xdotool({u"type"_s, u"--delay"_s, QString::number(delay * 2), words}));
        expected += words;
        EXPECT_TRUE(QTest::qWaitFor([&] { return target.text() == expected; }, test::patience))
            << delay << " ms per key: " << target.text().toStdString();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !controller().isVisible() && isActive(window); }, test::patience));
    }
}
