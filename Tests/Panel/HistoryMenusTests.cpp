// The history view's menus and actions over a real store kept in memory: entries, order,
// enablement, and what choosing them does to the store, the queue and the view state.
#include "ManualScheduler.h"
#include "Quillmere/Archive/PageFile.h"

#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Panel/HistoryStore.h"
#include "Quillmere/Panel/HistoryViewModel.h"
#include "Quillmere/Panel/Menus/HistoryActions.h"
#include "Quillmere/Panel/Menus/HistoryMenus.h"
#include "Quillmere/Platform/Core/Notices.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Support/TestSupport.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::test;
using namespace Qt::StringLiterals;

namespace {

const QString E = QString(QChar(0x2026));

class QueueStack : public PasteStackAccess {
public:
    std::vector<QUuid> ids;
    std::vector<QUuid> stack() const override { return ids; }
    void setStack(const std::vector<QUuid> &s) override { ids = s; }
    void retainOnly(const QSet<QUuid> &keep) override
    {
        std::erase_if(ids, [&](const QUuid &id) { return !keep.contains(id); });
    }
};

struct MenuFixture {
    FakeClock clock;
    TempPreferences prefs;
    NotificationCenter center;
    std::unique_ptr<ClipStore> store;
    std::unique_ptr<ClipStoreHistory> history;
    ManualScheduler scheduler;
    QueueStack queue;
    std::unique_ptr<HistoryViewModel> model;
    std::unique_ptr<HistoryActions> actions;
    std::unique_ptr<HistoryMenus> menus;

    std::vector<ClipRef> pasted;
    QStringList pastedTexts, copiedTexts;
    int copiedClips = 0, beeps = 0, quits = 0, settings = 0, closes = 0;
    std::optional<QString> fileAnswer;
    std::vector<FileChoice> asked;

    MenuFixture()
    {
        QString error;
        auto container = ModelContainer::open(QString(), clock.clock(), &error);
        store = std::make_unique<ClipStore>(std::shared_ptr<ModelContainer>(container.release()),
                                            ClipStoreDependencies{prefs.prefs.get(), &center, clock.clock()});
        history = std::make_unique<ClipStoreHistory>(*store);
        HistoryViewCallbacks callbacks;
        callbacks.onPasteText = [this](const QString &t) {
            pastedTexts << t;
            return true;
        };
        callbacks.beep = [this] { ++beeps; };
        callbacks.onClose = [this] { ++closes; };
        callbacks.openSettings = [this] { ++settings; };
        model = std::make_unique<HistoryViewModel>(HistoryViewDependencies{history.get(), &center, prefs.prefs.get(),
                                                                           &scheduler, nullptr, &queue, clock.clock()},
                                                   callbacks);
        HistoryActionServices s;
        s.store = store.get();
        s.model = model.get();
        s.notificationCenter = &center;
        s.pasteStack = &queue;
        s.paste = [this](const ClipRef &c) { pasted.push_back(c); };
        s.copyClip = [this](const ClipRef &) { return ++copiedClips > 0; };
        s.copyText = [this](const QString &t) { copiedTexts << t; };
        s.beep = [this] { ++beeps; };
        s.quit = [this] { ++quits; };
        s.chooseFile = [this](const FileChoice &c) {
            asked.push_back(c);
            return fileAnswer;
        };
        actions = std::make_unique<HistoryActions>(s);
        menus = std::make_unique<HistoryMenus>(*actions);
        center.post(Notices::panelDidShow);
        scheduler.runPending();
    }

    ClipRef put(const QString &text, ClipKind kind = ClipKind::text)
    {
        clock.advance(1000);
        CapturedContent content;
        content.kind = kind;
        if (kind == ClipKind::image)
            content.imageData = QByteArray("png bytes ") + text.toUtf8();
        else
            content.text = text;
        content.sourceAppName = u"Editor"_s;
        ClipRef clip = store->insertClip(content);
        scheduler.runPending();
        return clip;
    }
    PersistentIdentifier id(const ClipRef &c) const { return c->persistentModelID(); }
    void selectPage(const PageRef &p) { model->tabs().selectTab(PanelTab::page(p->persistentModelID()), true); }
};

} // namespace

TEST(HistoryMenus, FilterMenuShowsClearOnlyWhileAFilterIsSetAndClearsEvenAVanishedSource)
{
    MenuFixture f;
    const QStringList plain{u"Kind"_s,        u"Date"_s,          u"Saved Only"_s,
                            u"Pinned Only"_s, u"OCR Text Only"_s, u"Screenshot Inbox"_s};
    EXPECT_EQ(menuTitles(f.menus->filtersMenu()), plain) << "no clips: no Source picker";
    EXPECT_FALSE(f.menus->filtersActive());

    f.put(u"hello"_s);
    MenuModel menu = f.menus->filtersMenu();
    ASSERT_EQ(menuTitles(menu).value(1), u"Source"_s);
    EXPECT_EQ(menuTitles(findMenuEntry(menu, u"Kind"_s)->children),
              (QStringList{u"Any Kind"_s, u"Text"_s, u"Link"_s, u"Image"_s, u"File"_s}));
    ASSERT_TRUE(triggerMenuEntry(menu, u"Today"_s));
    menu = f.menus->filtersMenu();
    EXPECT_TRUE(f.menus->filtersActive());
    EXPECT_EQ(menuTitles(menu).mid(menuTitles(menu).size() - 2), (QStringList{u"-"_s, u"Clear Filters"_s}));
    EXPECT_TRUE(*findMenuEntry(menu, u"Today"_s)->checked);

    ClipSearchFilters gone;
    gone.sourceAppName = u"Uninstalled"_s;
    f.model->search().setFilters(gone);
    ASSERT_TRUE(triggerMenuEntry(f.menus->filtersMenu(), u"Clear Filters"_s));
    EXPECT_EQ(f.model->state().filters, ClipSearchFilters{});

    EXPECT_EQ(HistoryMenus::sourceTitle(u"Quillmere Drop"_s), u"Brindlewax Drop"_s);
    EXPECT_EQ(HistoryMenus::sourceTitle(u"Quillmere"_s), u"Brindlewax"_s);
    EXPECT_EQ(HistoryMenus::sourceTitle(u"QuillmereX"_s), u"QuillmereX"_s);
}

TEST(HistoryMenus, SyncBadgeTakesErrorsFirstAndImportsBeforeExports)
{
    using S = PanelSyncBadge;
    EXPECT_EQ(S::of({true, true, false, S::State::syncing}),
              (S{u"exclamationmark.icloud"_s, u"Sync error"_s, S::Tone::orange}));
    EXPECT_EQ(S::of({false, true, true, S::State::syncing}),
              (S{u"checkmark.icloud"_s, "Receiving" + E, S::Tone::green}));
    EXPECT_EQ(S::of({false, false, true, S::State::localOnly}).label, "Syncing" + E);
    EXPECT_EQ(S::of({}), (S{u"exclamationmark.icloud"_s, u"Not saved"_s, S::Tone::red}));
    EXPECT_EQ(S::of({false, false, false, S::State::noAccount}).label, u"Folder missing"_s);
    EXPECT_EQ(S::of({false, false, false, S::State::syncing}).label, u"Sync On"_s);
}

TEST(HistoryMenus, ClipMenuFollowsTheClipAndItsPages)
{
    MenuFixture f;
    const ClipRef image = f.put(u"a"_s, ClipKind::image);
    const ClipRef text = f.put(u"see https://example.org/page"_s);
    const QStringList imageTitles = menuTitles(f.menus->clipContextMenu(f.id(image)));
    EXPECT_EQ(imageTitles,
              (QStringList{u"Paste"_s, u"Copy"_s, u"Pin"_s, u"Preview"_s, "Rename" + E, u"-"_s, u"Add to Page"_s,
                           u"-"_s, u"Delete"_s}));

    MenuModel menu = f.menus->clipContextMenu(f.id(text));
    const QStringList titles = menuTitles(menu);
    EXPECT_EQ(titles.mid(0, 4), (QStringList{u"Paste"_s, u"Copy"_s, u"Pin"_s, u"-"_s})) << "entities follow a divider";
    for (const QString &t : {"Paste as" + E, "Copy as" + E, u"Add to Paste Stack"_s, "Edit Text" + E})
        EXPECT_TRUE(titles.contains(t)) << t.toStdString();
    EXPECT_FALSE(titles.contains(u"Remove from Page"_s));
    EXPECT_EQ(menuTitles(findMenuEntry(menu, u"Add to Page"_s)->children), QStringList{"New Page" + E})
        << "no Pages: no divider";

    // "New Page…" files the clip on a fresh "Untitled"; then its row is the one disabled.
    ASSERT_TRUE(triggerMenuEntry(menu, "New Page" + E));
    ASSERT_TRUE(text->pinboard());
    EXPECT_EQ(text->pinboard()->name(), u"Untitled"_s);
    const PageRef other = f.store->createPage(u"Work"_s);
    ASSERT_TRUE(f.store->setPageLock(other, u"secret"_s));
    f.scheduler.runPending();
    menu = f.menus->clipContextMenu(f.id(text));
    const MenuModel chooser = findMenuEntry(menu, u"Add to Page"_s)->children;
    EXPECT_EQ(menuTitles(chooser), (QStringList{u"Untitled"_s, u"Work"_s, u"-"_s, "New Page" + E}));
    EXPECT_FALSE(chooser[0].enabled);
    EXPECT_TRUE(chooser[1].enabled);
    EXPECT_EQ(chooser[1].symbol, u"lock.fill"_s);
    ASSERT_TRUE(triggerMenuEntry(chooser, u"Work"_s)) << "a locked Page still takes clips";
    EXPECT_EQ(text->pinboard(), other);
    ASSERT_TRUE(triggerMenuEntry(f.menus->clipContextMenu(f.id(text)), u"Remove from Page"_s));
    EXPECT_FALSE(text->pinboard());
}

TEST(HistoryMenus, ClipMenuActionsReachStoreClipboardAndQueue)
{
    MenuFixture f;
    const ClipRef older = f.put(u"  Mixed Case  "_s);
    const ClipRef newer = f.put(u"newest"_s);
    const auto menu = [&](const ClipRef &c) { return f.menus->clipContextMenu(f.id(c)); };

    ASSERT_TRUE(triggerMenuEntry(menu(older), u"Paste"_s));
    EXPECT_EQ(f.pasted, std::vector<ClipRef>{older});
    EXPECT_EQ(f.store->historyNewestFirst().front(), newer) << "Paste only hands the clip on";
    ASSERT_TRUE(triggerMenuEntry(menu(older), u"Copy"_s));
    EXPECT_EQ(f.copiedClips, 1);
    EXPECT_EQ(f.store->historyNewestFirst().front(), older);

    const MenuModel copyAs = findMenuEntry(menu(newer), "Copy as" + E)->children;
    ASSERT_TRUE(triggerMenuEntry(copyAs, ClipTextTransform::title(ClipTextTransform::uppercase)));
    EXPECT_EQ(f.copiedTexts, QStringList{u"NEWEST"_s});
    EXPECT_EQ(f.store->historyNewestFirst().front(), newer);

    ASSERT_TRUE(triggerMenuEntry(menu(newer), u"Pin"_s));
    EXPECT_TRUE(newer->isPinned());
    EXPECT_TRUE(menuTitles(menu(newer)).contains(u"Unpin"_s));

    ASSERT_TRUE(triggerMenuEntry(menu(newer), u"Add to Paste Stack"_s));
    EXPECT_EQ(f.queue.ids, std::vector<QUuid>{newer->dedupID()});
    ASSERT_TRUE(triggerMenuEntry(menu(newer), u"Remove from Paste Stack"_s));
    EXPECT_TRUE(f.queue.ids.empty());

    ASSERT_TRUE(triggerMenuEntry(menu(older), "Rename" + E));
    EXPECT_EQ(f.model->state().renamingItem, f.id(older));
    f.model->setRenameText(u"  "_s);
    EXPECT_TRUE(f.actions->commitRename());
    EXPECT_FALSE(older->customTitle()) << "an empty name removes the title";
    EXPECT_FALSE(f.model->state().renamingItem);

    ASSERT_TRUE(triggerMenuEntry(menu(older), "Edit Text" + E));
    EXPECT_EQ(f.model->state().editText, u"  Mixed Case  "_s);
    f.model->setEditText(u"edited"_s);
    EXPECT_TRUE(f.actions->commitTextEdit());
    EXPECT_EQ(older->text(), u"edited"_s);

    ASSERT_TRUE(triggerMenuEntry(menu(older), u"Delete"_s));
    EXPECT_TRUE(older->isDeleted());
}

TEST(HistoryMenus, PasteStackMenuListsQueuedClipsAndItsActionsKeepOrEmptyTheQueue)
{
    MenuFixture f;
    EXPECT_EQ(menuTitles(f.menus->pasteStackMenu()), QStringList{u"No clips in stack"_s});
    EXPECT_EQ(f.menus->pasteStackHelp(), u"Paste Stack"_s);
    const ClipRef a = f.put(u"first"_s), b = f.put(u"second"_s), c = f.put(u"third"_s);
    const ClipRef picture = f.put(u"p"_s, ClipKind::image);
    f.queue.ids = {a->dedupID(), QUuid::createUuid(), b->dedupID(), c->dedupID()};

    MenuModel menu = f.menus->pasteStackMenu();
    EXPECT_EQ(
        menuTitles(menu),
        (QStringList{QString::fromUtf8("3 queued \u00b7 Alt+Super+V pastes next"), u"-"_s, u"Paste Stack as Text"_s,
                     u"Copy Stack as Text"_s, u"-"_s, u"first"_s, u"second"_s, u"third"_s, u"-"_s, u"Clear Stack"_s}));
    EXPECT_EQ(f.menus->pasteStackHelp(), u"Paste Stack (3 clips)"_s);
    ASSERT_TRUE(triggerMenuEntry(menu, u"second"_s));
    ASSERT_TRUE(triggerMenuEntry(f.menus->pasteStackMenu(), u"Copy Stack as Text"_s));
    EXPECT_EQ(f.copiedTexts, QStringList{u"first\n\nthird"_s});
    EXPECT_EQ(f.menus->pasteStackCount(), 2) << "copying keeps the queue";
    ASSERT_TRUE(triggerMenuEntry(f.menus->pasteStackMenu(), u"Paste Stack as Text"_s));
    EXPECT_EQ(f.pastedTexts, QStringList{u"first\n\nthird"_s});
    EXPECT_EQ(f.menus->pasteStackCount(), 0);

    f.queue.ids = {picture->dedupID()};
    ASSERT_TRUE(triggerMenuEntry(f.menus->pasteStackMenu(), u"Copy Stack as Text"_s));
    EXPECT_EQ(f.beeps, 1) << "no text: a beep";
    ASSERT_TRUE(triggerMenuEntry(f.menus->pasteStackMenu(), u"Clear Stack"_s));
    EXPECT_TRUE(f.queue.ids.empty());
}

TEST(HistoryMenus, MoreMenuOffersSharingOnlyForAnOpenPageAndRemembersPausing)
{
    MenuFixture f;
    const QStringList history{
        u"Pause Capture"_s,  "Check for Updates" + E, "Clear Unsaved History" + E, u"-"_s, "Settings" + E, u"-"_s,
        u"Quit Brindlewax"_s};
    EXPECT_EQ(menuTitles(f.menus->moreMenu()), history);
    ASSERT_TRUE(triggerMenuEntry(f.menus->moreMenu(), u"Pause Capture"_s));
    EXPECT_EQ(f.prefs->boolValue(u"capturePaused"_s), true);
    EXPECT_EQ(menuTitles(f.menus->moreMenu()).front(), u"Resume Capture"_s);
    ASSERT_TRUE(triggerMenuEntry(f.menus->moreMenu(), "Settings" + E));
    ASSERT_TRUE(triggerMenuEntry(f.menus->moreMenu(), u"Quit Brindlewax"_s));
    EXPECT_EQ(f.settings, 1);
    EXPECT_EQ(f.quits, 1);

    const PageRef page = f.store->createPage(u"Shared"_s);
    f.scheduler.runPending();
    f.selectPage(page);
    EXPECT_EQ(menuTitles(f.menus->moreMenu()).mid(0, 2), (QStringList{"Share Page" + E, u"-"_s}));
    ASSERT_TRUE(f.store->setPageLock(page, u"1234"_s));
    f.scheduler.runPending();
    ASSERT_TRUE(f.model->isSelectedPageLocked());
    EXPECT_EQ(menuTitles(f.menus->moreMenu()).front(), u"Resume Capture"_s) << "a closed locked Page is not shared";
    EXPECT_FALSE(f.menus->addMenuEnabled());
}

TEST(HistoryMenus, SharingWritesAPageFileAtomicallyAndReportsAFailedWrite)
{
    MenuFixture f;
    const PageRef page = f.store->createPage(u"  "_s);
    const ClipRef clip = f.put(u"on the page"_s);
    f.store->assignClip(clip, page);
    f.scheduler.runPending();
    QTemporaryDir dir;
    QSignalSpy finished(f.actions.get(), &HistoryActions::shareFinished);

    f.actions->sharePage(page->persistentModelID());
    ASSERT_EQ(f.asked.size(), 1u) << "cancelled: nothing written, no alert";
    EXPECT_EQ(f.asked[0].suggestedName, u"Page.quillmerepage"_s);
    EXPECT_EQ(f.asked[0].title, u"Share Page"_s);
    EXPECT_FALSE(f.model->state().isShowingManualAddError);

    f.fileAnswer = dir.filePath(u"shared.quillmerepage"_s);
    {
        // Meant for others to read: the umask decides, not the program.
        test::ScopedUmask mask(022);
        f.actions->sharePage(page->persistentModelID());
        ASSERT_TRUE(finished.wait(10000));
    }
    EXPECT_TRUE(finished.last().at(0).toBool());
    EXPECT_EQ(test::permissionBits(*f.fileAnswer), 0644u);
    const auto read = pagefile::readFile(*f.fileAnswer);
    ASSERT_TRUE(read.ok());
    ASSERT_EQ(read.value().clips.size(), 1u);

    f.fileAnswer = dir.filePath(u"missing-folder/shared.quillmerepage"_s);
    f.actions->sharePage(page->persistentModelID());
    ASSERT_TRUE(finished.wait(10000));
    EXPECT_FALSE(finished.last().at(0).toBool());
    EXPECT_TRUE(f.model->state().manualAddErrorMessage.startsWith(u"The page file could not be written: "_s));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::NoDotAndDotDot), QStringList{u"shared.quillmerepage"_s})
        << "no partial file is left";
}

TEST(HistoryMenus, SheetsValidateAndKeepTheirInputWhenTheStoreRefuses)
{
    MenuFixture f;
    const PageRef page = f.store->createPage(u"Notes"_s);
    f.scheduler.runPending();
    const qsizetype before = f.store->context().clipCount();

    ASSERT_TRUE(triggerMenuEntry(f.menus->addMenu(), "New Note" + E));
    EXPECT_TRUE(f.model->state().isShowingManualNoteSheet);
    EXPECT_FALSE(f.actions->saveManualNote(u"t"_s, u" \n "_s));
    EXPECT_EQ(f.model->state().manualAddErrorMessage, u"Write something before saving the note."_s);
    EXPECT_TRUE(f.model->state().isShowingManualNoteSheet) << "the sheet stays with its text";
    EXPECT_EQ(f.store->context().clipCount(), before);
    f.selectPage(page);
    EXPECT_TRUE(f.actions->saveManualNote(u"Title"_s, u" body "_s));
    const ClipRef note = f.store->historyNewestFirst().front();
    EXPECT_EQ(note->text(), u"body"_s);
    EXPECT_EQ(note->pinboard(), page);
    EXPECT_EQ(note->sourceAppName(), u"Quillmere"_s);

    f.model->setLockSetupBoard(page->persistentModelID());
    EXPECT_FALSE(f.actions->lockPage(u"abc"_s).isEmpty());
    EXPECT_TRUE(f.model->state().lockSetupBoard) << "a refused lock keeps its sheet";
    EXPECT_TRUE(f.actions->lockPage(u"abcd"_s).isEmpty());
    EXPECT_TRUE(page->isLocked());
    EXPECT_FALSE(f.model->isSelectedPageLocked()) << "open until the panel shows again";

    f.model->setRemoveLockBoard(page->persistentModelID());
    EXPECT_FALSE(f.actions->removePageLock(u"wrong"_s));
    EXPECT_TRUE(page->isLocked());
    EXPECT_TRUE(f.actions->removePageLock(u"abcd"_s));
    EXPECT_FALSE(page->isLocked());
    EXPECT_FALSE(f.model->state().removeLockBoard);

    const ClipRef loose = f.put(u"loose"_s);
    const ClipRef pinned = f.put(u"pinned"_s);
    f.store->togglePin(pinned);
    ASSERT_TRUE(triggerMenuEntry(f.menus->moreMenu(), "Clear Unsaved History" + E));
    EXPECT_TRUE(f.model->state().isShowingClearConfirmation);
    f.actions->clearHistory();
    EXPECT_TRUE(loose->isDeleted());
    EXPECT_FALSE(pinned->isDeleted());
    EXPECT_FALSE(note->isDeleted());
}

TEST(HistoryMenus, AddMenuCapturesAfterClosingAndAddsAChosenFile)
{
    MenuFixture f;
    EXPECT_EQ(menuTitles(f.menus->addMenu()),
              (QStringList{"Capture Screenshot" + E, u"-"_s, "New Note" + E, "Add File" + E}));
    int requests = 0;
    f.center.addObserver(Notices::requestAreaCapture, nullptr, [&](const Notification &) { ++requests; });
    ASSERT_TRUE(triggerMenuEntry(f.menus->addMenu(), "Capture Screenshot" + E));
    EXPECT_EQ(f.closes, 1);
    EXPECT_EQ(requests, 0) << "the request waits for the panel to go";
    EXPECT_TRUE(QTest::qWaitFor([&] { return requests == 1; }, 5000));

    ASSERT_TRUE(triggerMenuEntry(f.menus->addMenu(), "Add File" + E));
    EXPECT_EQ(f.asked.back().prompt, u"Add"_s);
    QTemporaryDir dir;
    QFile file(dir.filePath(u"a.txt"_s));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("words");
    file.close();
    f.fileAnswer = file.fileName();
    ASSERT_TRUE(triggerMenuEntry(f.menus->addMenu(), "Add File" + E));
    // Read off the main thread, stored once back.
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            const auto history = f.store->historyNewestFirst();
            return !history.empty() && history.front()->fileName() == u"a.txt"_s;
        },
        5000));
}

TEST(HistoryMenus, APreviewNothingOpenedIsToldInThePanel)
{
    MenuFixture f;
    std::vector<QUrl> opened;
    std::function<void(bool)> finish;
    HistoryActionServices s = f.actions->services();
    s.openPreview = [&](const QUrl &target, std::function<void(bool)> done) {
        opened.push_back(target);
        finish = std::move(done);
    };
    f.actions = std::make_unique<HistoryActions>(s);
    f.menus = std::make_unique<HistoryMenus>(*f.actions);
    const ClipRef link = f.put(u"https://example.com/guide"_s, ClipKind::url);

    ASSERT_TRUE(triggerMenuEntry(f.menus->clipContextMenu(f.id(link)), u"Preview"_s));
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0], QUrl(u"https://example.com/guide"_s));
    finish(true);
    EXPECT_FALSE(f.model->state().isShowingManualAddError);

    // The opener is missing or found no program: the panel says so.
    ASSERT_TRUE(triggerMenuEntry(f.menus->clipContextMenu(f.id(link)), u"Preview"_s));
    finish(false);
    EXPECT_TRUE(f.model->state().isShowingManualAddError);
    EXPECT_EQ(f.model->state().manualAddErrorTitle, u"Could Not Open Preview"_s);
    EXPECT_TRUE(f.model->state().manualAddErrorMessage.contains(u"xdg-open"_s));

    // Other alerts keep their own title.
    f.model->dismissManualAddError();
    ASSERT_TRUE(f.actions->saveManualNote(QString(), QString()) == false);
    EXPECT_EQ(f.model->state().manualAddErrorTitle, u"Could Not Add Item"_s);
}
