#include "Quillmere/Pages/PageColors.h"
#include "Quillmere/Pages/Widgets/PageTabOrderSettingsView.h"
#include "Quillmere/Pages/Widgets/PinboardTabStrip.h"

#include "../QStringPrinting.h"
#include "PagesWidgetSupport.h"
#include "Support/PagesFixture.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>
#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::test;

namespace {

QAction *entry(QMenu &menu, const QString &title)
{
    for (QAction *a : menu.actions()) {
        if (a->text() == title)
            return a;
        if (a->menu())
            if (QAction *inner = entry(*a->menu(), title))
                return inner;
    }
    return nullptr;
}

QStringList titles(QMenu &menu)
{
    QStringList out;
    for (QAction *a : menu.actions())
        out << (a->isSeparator() ? QStringLiteral("-") : a->text());
    return out;
}

void sendMouse(QWidget *target, QEvent::Type type, QPoint pos, Qt::MouseButtons buttons)
{
    QMouseEvent event(type, pos, target->mapToGlobal(pos), type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton,
                      buttons, Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

// (name, colour, sortOrder) of every Page, in tab order, as the store has them.
QStringList stored(ClipStore &store)
{
    QStringList out;
    for (const PageRef &page : store.pages())
        out << QStringLiteral("%1 %2 %3").arg(page->displayName(), page->colorName()).arg(page->sortOrder());
    return out;
}

class TabStripTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        window.setPalette(panelPalette(true));
        window.resize(640, 60);
        auto *layout = new QVBoxLayout(&window);
        PinboardTabStrip::Callbacks callbacks;
        callbacks.select = [this](const PanelTab &tab) {
            selections.push_back(tab);
            strip->setSelection(tab);
        };
        callbacks.onLockRequest = [this](const PageSnapshot &p) { requests << QStringLiteral("lock ") + p.name; };
        callbacks.onRemoveLockRequest = [this](const PageSnapshot &p) {
            requests << QStringLiteral("remove ") + p.name;
        };
        callbacks.onLockNow = [this](const PageSnapshot &p) { requests << QStringLiteral("now ") + p.name; };
        strip = new PinboardTabStrip(*f.store, callbacks, &window);
        layout->addWidget(strip);
        window.show();
        // Generous: on a loaded machine the window manager maps and focuses late.
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window, 30000));
    }

    void refresh() { strip->setPinboards(PageTabActions(*f.store).pages()); }
    QWidget *row() const { return strip->widget(); }
    QPoint inRow(const QRect &stripRect) const { return row()->mapFrom(strip, stripRect.center()); }
    PanelTab tabOf(const PageRef &page) const { return PanelTab::page(page->persistentModelID()); }

    StoreFixture f{true};
    QWidget window;
    PinboardTabStrip *strip = nullptr;
    std::vector<PanelTab> selections;
    QStringList requests;
};

} // namespace

TEST_F(TabStripTest, CreateRenameRecolourLockAndDeleteGoThroughTheStore)
{
    QTest::mouseClick(row(), Qt::LeftButton, {}, inRow(strip->addButtonRect()));
    ASSERT_EQ(stored(*f.store), QStringList{QStringLiteral("Untitled magenta 0")});
    const PageRef page = f.store->pages().front();
    const PersistentIdentifier id = page->persistentModelID();
    // The new tab opens for its name at once.
    ASSERT_EQ(strip->renamingPage(), id);
    ASSERT_TRUE(waitUntil([&] { return strip->isRenameFieldFocused(); }, 30000));
    QTest::keyClicks(strip->renameField(), QStringLiteral("Receipts"));
    window.grab().save(artefactPath(QStringLiteral("tab-strip-renaming.png")));
    QTest::keyClick(strip->renameField(), Qt::Key_Return);
    EXPECT_FALSE(strip->renamingPage());
    EXPECT_EQ(page->name(), QStringLiteral("Receipts"));

    // Escape leaves the name alone; a blank name is refused.
    QTest::mouseDClick(row(), Qt::LeftButton, {}, inRow(strip->tabRect(tabOf(page))));
    ASSERT_TRUE(waitUntil([&] { return strip->renamingPage() == id; }, 30000));
    QTest::keyClicks(strip->renameField(), QStringLiteral("Junk"));
    QTest::keyClick(strip->renameField(), Qt::Key_Escape);
    strip->beginRename(id);
    strip->renameField()->clear();
    strip->commitRename();
    EXPECT_EQ(page->name(), QStringLiteral("Receipts"));
    // A click selects.
    QTest::mouseClick(row(), Qt::LeftButton, {}, inRow(strip->tabRect(tabOf(page))));
    ASSERT_FALSE(selections.empty());
    EXPECT_EQ(selections.back(), tabOf(page));

    // Colour and lock from the context menu.
    std::unique_ptr<QMenu> menu = strip->contextMenu(id);
    EXPECT_EQ(titles(*menu), (QStringList{"Rename", "Colour", "-", "Lock Page…", "-", "Delete Page…"}));
    EXPECT_EQ(menu->actions()[1]->menu()->actions().size(), 10);
    entry(*menu, QStringLiteral("Teal"))->trigger();
    entry(*menu, QStringLiteral("Lock Page…"))->trigger();
    EXPECT_EQ(page->colorName(), QStringLiteral("teal"));
    ASSERT_TRUE(f.store->setPageLock(page, QStringLiteral("4321")));
    refresh();
    menu = strip->contextMenu(id);
    EXPECT_EQ(titles(*menu), (QStringList{"Rename", "Colour", "-", "Remove Lock…", "Lock Now", "-", "Delete Page…"}));
    EXPECT_FALSE(entry(*menu, QStringLiteral("Lock Now"))->isEnabled());
    IdentifierSet unlocked;
    unlocked.insert(id);
    strip->setUnlockedBoardIDs(unlocked);
    menu = strip->contextMenu(id);
    entry(*menu, QStringLiteral("Remove Lock…"))->trigger();
    entry(*menu, QStringLiteral("Lock Now"))->trigger();
    EXPECT_EQ(requests, (QStringList{"lock Receipts", "remove Receipts", "now Receipts"}));
    window.grab().save(artefactPath(QStringLiteral("tab-strip-locked-open.png")));

    // Deleting asks first; cancelling keeps the Page.
    strip->requestDelete(id);
    ASSERT_TRUE(strip->deleteConfirmation());
    EXPECT_EQ(strip->pendingDeletion(), id);
    EXPECT_EQ(strip->deleteConfirmation()->text(), QStringLiteral("Its clips go back to the Clipboard History."));
    strip->deleteConfirmation()->button(QMessageBox::Cancel)->click();
    EXPECT_FALSE(strip->pendingDeletion());
    EXPECT_EQ(f.store->pages().size(), 1u);

    // Everything so far is in the file.
    f.open();
    EXPECT_EQ(stored(*f.store), QStringList{QStringLiteral("Receipts teal 0")});
    EXPECT_TRUE(f.store->pages().front()->isLocked());

    // The tab of a deleted Page was selected: the history takes over.
    strip->deleteLater();
    PinboardTabStrip::Callbacks callbacks;
    callbacks.select = [this](const PanelTab &tab) { selections.push_back(tab); };
    PinboardTabStrip fresh(*f.store, callbacks, &window);
    const PersistentIdentifier reopened = f.store->pages().front()->persistentModelID();
    fresh.setSelection(PanelTab::page(reopened));
    fresh.requestDelete(reopened);
    QMessageBox *box = fresh.deleteConfirmation();
    ASSERT_TRUE(box);
    for (QAbstractButton *button : box->buttons())
        if (button->text() == QStringLiteral("Delete Page"))
            button->click();
    EXPECT_TRUE(f.store->pages().empty());
    EXPECT_TRUE(fresh.pinboards().empty());
    EXPECT_EQ(selections.back(), PanelTab::history());
    strip = nullptr;
}

TEST_F(TabStripTest, DraggingATabReordersThePagesForGood)
{
    for (const char *name : {"Alpha", "Beta", "Gamma"})
        f.store->createPage(QString::fromLatin1(name));
    refresh();
    const std::vector<PageRef> pages = f.store->pages();
    const QPoint from = inRow(strip->tabRect(tabOf(pages[2])));
    const QPoint to =
        inRow(strip->tabRect(tabOf(pages[0]))) - QPoint(strip->tabRect(tabOf(pages[0])).width() / 2 - 4, 0);
    sendMouse(row(), QEvent::MouseButtonPress, from, Qt::LeftButton);
    for (int step = 1; step <= 8; ++step)
        sendMouse(row(), QEvent::MouseMove, from + (to - from) * step / 8, Qt::LeftButton);
    sendMouse(row(), QEvent::MouseButtonRelease, to, Qt::NoButton);
    EXPECT_EQ(stored(*f.store), (QStringList{"Gamma magenta 0", "Alpha magenta 1", "Beta magenta 2"}));
    EXPECT_TRUE(selections.empty()); // a drag is no click
    // The history tab stays first whatever is dropped before it.
    const QPoint beta = inRow(strip->tabRect(tabOf(pages[1])));
    sendMouse(row(), QEvent::MouseButtonPress, beta, Qt::LeftButton);
    sendMouse(row(), QEvent::MouseMove, QPoint(5, beta.y()), Qt::LeftButton);
    sendMouse(row(), QEvent::MouseButtonRelease, QPoint(5, beta.y()), Qt::NoButton);
    f.open();
    EXPECT_EQ(stored(*f.store), (QStringList{"Beta magenta 0", "Gamma magenta 1", "Alpha magenta 2"}));
}

TEST_F(TabStripTest, ManyPagesScrollSideways)
{
    for (int i = 1; i <= 14; ++i)
        f.store->createPage(QStringLiteral("Project %1").arg(i), PageColors::names()[i % 10]);
    refresh();
    QScrollBar *bar = strip->horizontalScrollBar();
    ASSERT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), 0);
    window.grab().save(artefactPath(QStringLiteral("tab-strip-many.png")));

    // Selecting a Page far right brings its tab into view.
    const PanelTab last = tabOf(f.store->pages().back());
    strip->setSelection(last);
    EXPECT_GT(bar->value(), 0);
    EXPECT_TRUE(strip->viewport()->rect().contains(strip->tabRect(last)));
    const int shown = bar->value();
    QWheelEvent wheel(QPointF(50, 10), strip->mapToGlobal(QPointF(50, 10)), {}, QPoint(0, 120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(strip->viewport(), &wheel);
    EXPECT_LT(bar->value(), shown);
}

TEST(PageTabOrderSettingsView, MovesPagesUpAndDownAndFollowsTheStore)
{
    StoreFixture f(true);
    for (const char *name : {"Alpha", "Beta", "Gamma"})
        f.store->createPage(QString::fromLatin1(name));
    PageTabOrderSettingsView view(*f.store);
    view.resize(360, 260);
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    ASSERT_EQ(view.list()->count(), 3);
    EXPECT_FALSE(view.moveUpButton()->isEnabled());

    view.list()->setCurrentRow(2);
    QTest::mouseClick(view.moveUpButton(), Qt::LeftButton);
    EXPECT_EQ(stored(*f.store), (QStringList{"Alpha magenta 0", "Gamma magenta 1", "Beta magenta 2"}));
    EXPECT_EQ(view.list()->currentRow(), 1);
    QTest::mouseClick(view.moveUpButton(), Qt::LeftButton);
    EXPECT_FALSE(view.moveUpButton()->isEnabled());
    view.list()->setCurrentRow(1);
    QTest::mouseClick(view.moveDownButton(), Qt::LeftButton);
    EXPECT_FALSE(view.moveDownButton()->isEnabled());
    view.grab().save(artefactPath(QStringLiteral("tab-order-view.png")));

    // A change made elsewhere shows.
    f.store->renamePage(f.store->pages().front(), QStringLiteral("Inbox"));
    EXPECT_EQ(view.list()->item(0)->text(), QStringLiteral("Inbox"));
    f.open();
    EXPECT_EQ(stored(*f.store), (QStringList{"Inbox magenta 0", "Beta magenta 1", "Alpha magenta 2"}));
}
