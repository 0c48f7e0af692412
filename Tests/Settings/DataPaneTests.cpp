#include "SettingsWindowFixture.h"

#include "Quillmere/App/DemoData.h"
#include "Quillmere/Archive/PageFile.h"
#include "Quillmere/Archive/StoreMaintenance.h"
#include "Quillmere/Model/StoreDamage.h"
#include "Quillmere/Model/StoreSchema.h"
#include "Quillmere/Pages/Widgets/PageTabOrderSettingsView.h"
#include "Quillmere/Settings/DataPane.h"
#include "Quillmere/Settings/StorageDashboard.h"

#include "Model/DamagedStores.h"
#include "Support/GoldenFiles.h"

#include <QFile>
#include <QListWidget>
#include <QMessageBox>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>

using namespace quillmere;
using quillmere::test::SettingsWindowFixture;
using quillmere::test::StoreFixture;

namespace {

// The window over its store, with file dialogs that answer from the test.
struct DataFixture : SettingsWindowFixture {
    SettingsWindow &openData()
    {
        DataActions::Interaction dialogs;
        dialogs.chooseBackupDestination = [this](const QString &name) {
            suggested = name;
            ++dialogsRun;
            return destination;
        };
        dialogs.chooseBackupToImport = [this] {
            ++dialogsRun;
            return source;
        };
        dialogs.choosePageToImport = [this] {
            ++dialogsRun;
            return source;
        };
        dialogs.jsonExport.choosePath = [this] {
            ++dialogsRun;
            return destination;
        };
        dialogs.jsonExport.clock = clock.clock();
        dialogs.clock = clock.clock();
        dataInteraction = dialogs;
        SettingsWindow &w = open();
        select(SettingsPane::data);
        return w;
    }
    DataPane *data() const { return pane<DataPane>(); }
    DataActions &actions() const { return window->dataActions(); }

    // Presses a row's button and waits for its file work to come back.
    void press(ActionRow *row, bool waits = true)
    {
        QSignalSpy settled(&actions(), &DataActions::settled);
        row->button()->click();
        if (waits) {
            EXPECT_TRUE(settled.wait(20000));
        }
    }
    QString resultText() const { return window->model().backupResultMessage().value_or(QString()); }
    QString errorText() const { return window->model().backupErrorMessage().value_or(QString()); }

    std::optional<QString> destination;
    std::optional<QString> source;
    QString suggested;
    int dialogsRun = 0;
};

std::vector<QString> texts(ClipStore &store)
{
    std::vector<QString> out;
    for (const ClipRef &clip : store.context().clipsNewestFirst())
        out.push_back(clip->text().value_or(QString()) + QString::number(clip->imageDataSize()));
    return out;
}

} // namespace

TEST(DataPane, StorageUsedShowsTheHistoriesSetAsideBesideTheStoreAndTheRoomTheyTake)
{
    DataFixture f;
    f.putText("hello");
    const QString path = f.store->container().storeURL();
    ASSERT_FALSE(path.isEmpty());
    // Two histories, one with its log; and files of other names, which are none of them.
    const qint64 bytes = 3 * 1000 * 1000;
    for (const QString &name : {path + ".unreadable-20260101-000000", path + ".unreadable-20260101-000000-wal",
                                path + ".kept-20260102-000000", path + ".fallback", path + "-other.unreadable-1"}) {
        QFile file(name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_TRUE(file.resize(bytes));
    }
    f.openData();
    DataPane *pane = f.data();
    ASSERT_TRUE(pane);
    const QString expected = storageByteText(storeFootprintBytes(*f.store)) + ", and " + storageByteText(3 * bytes)
        + " in 2 earlier histories set aside beside it";
    EXPECT_TRUE(QTest::qWaitFor([&] { return pane->storageLabel()->text() == expected; }, 5000))
        << qPrintable(pane->storageLabel()->text());
}

TEST(DataPane, RowsReadTheStoreAndCancelledDialogsChangeNothing)
{
    DataFixture f;
    f.putText("hello");
    f.openData();
    DataPane *pane = f.data();
    ASSERT_TRUE(pane);
    EXPECT_EQ(pane->title(), "Data");
    EXPECT_EQ(pane->storageLabel()->text(), storageByteText(storeFootprintBytes(*f.store)));
    EXPECT_NE(pane->storageLabel()->text(), "Zero KB");
    for (ActionRow *row : {pane->exportRow(), pane->importRow(), pane->pageRow()})
        f.press(row, false);
    EXPECT_EQ(f.dialogsRun, 3);
    EXPECT_EQ(f.suggested,
              "Brindlewax-Backup-" + f.clock.now().toLocalTime().date().toString("yyyy-MM-dd") + ".quillmerebackup");
    EXPECT_FALSE(f.actions().isBusy());
    EXPECT_FALSE(f.window->model().isShowingBackupResult() || f.window->model().isShowingBackupError());
    f.screenshot("data-pane");
}

TEST(DataPane, BackupWrittenThenRestoredIntoAnEmptyStoreGivesTheSameClips)
{
    DataFixture f;
    f.putText("first");
    f.put({.kind = ClipKind::image, .imageData = QByteArray(300000, 'i')});
    f.store->assignClip(f.putText("filed"), f.store->createPage("Work"));
    // A one-time code stays out of the backup and out of its count.
    ClipRef code = f.putText("482913");
    code->setExpiresAt(f.clock.now().addSecs(300));
    ASSERT_TRUE(f.store->save());
    f.openData();
    f.destination = f.dir.filePath("out.quillmerebackup");
    f.press(f.data()->exportRow());
    EXPECT_EQ(f.resultText(), "Exported 3 clips to out.quillmerebackup.");
    EXPECT_EQ(f.data()->exportRow()->button()->text(), "Export");
    f.ctx().remove(code);
    ASSERT_TRUE(f.store->save());

    DataFixture empty;
    empty.openData();
    empty.source = f.destination;
    empty.press(empty.data()->importRow());
    EXPECT_EQ(empty.resultText(), "3 imported, 0 duplicates skipped.");
    EXPECT_EQ(texts(*empty.store), texts(*f.store));
    EXPECT_EQ(empty.store->pages().size(), 1u);
    EXPECT_EQ(empty.window->model().settingsRevision(), 1);

    empty.press(empty.data()->importRow());
    EXPECT_EQ(empty.resultText(), "0 imported, 3 duplicates skipped.");
}

TEST(DataPane, DamagedOrForeignFilesEndInTheErrorAlertAndChangeNothing)
{
    DataFixture f;
    f.putText("kept");
    f.openData();
    f.destination = f.dir.filePath("good.quillmerebackup");
    f.press(f.data()->exportRow());
    QFile good(*f.destination);
    ASSERT_TRUE(good.open(QIODevice::ReadOnly));
    QByteArray bytes = good.readAll();
    bytes.truncate(bytes.size() / 2);
    f.source = f.dir.filePath("damaged.quillmerebackup");
    test::writeBytes(*f.source, bytes);
    const auto before = texts(*f.store);

    f.press(f.data()->importRow());
    EXPECT_EQ(f.errorText(), "This file isn't a valid Brindlewax backup, or it's damaged.");
    EXPECT_TRUE(f.window->model().isShowingBackupError());
    EXPECT_EQ(texts(*f.store), before);
    EXPECT_EQ(f.window->model().settingsRevision(), 0);

    // Over the cap by one byte: refused before it is parsed.
    f.source = f.dir.filePath("big.quillmerepage");
    test::writeBytes(*f.source, QByteArray(pagefile::maxBytes + 1, '{'));
    f.press(f.data()->pageRow());
    EXPECT_EQ(f.errorText(), PageArchiveError::tooLarge(pagefile::maxBytes + 1, pagefile::maxBytes).userMessage());
    EXPECT_EQ(texts(*f.store), before);
}

TEST(DataPane, AFailedWriteLeavesTheEarlierFileAndAFailedRestoreReportsNoSuccess)
{
    DataFixture f;
    f.putText("one");
    f.openData();
    // A folder where the file should be: the write fails and the folder stays.
    f.destination = f.dir.filePath("taken");
    QDir().mkpath(*f.destination);
    f.press(f.data()->exportRow());
    EXPECT_TRUE(f.window->model().isShowingBackupError());
    EXPECT_FALSE(f.window->model().isShowingBackupResult());
    EXPECT_FALSE(f.actions().isExportingBackup());
    EXPECT_TRUE(QFileInfo(*f.destination).isDir());

    f.destination = f.dir.filePath("b.quillmerebackup");
    f.press(f.data()->exportRow());
    DataFixture other;
    other.putText("two");
    other.openData();
    other.source = f.destination;
    other.refuseWrites();
    const auto before = texts(*other.store);
    other.press(other.data()->importRow());
    EXPECT_FALSE(other.window->model().isShowingBackupResult());
    EXPECT_TRUE(other.window->model().isShowingBackupError());
    EXPECT_EQ(texts(*other.store), before);
}

TEST(DataPane, AnExportThatMeetsDamageEndsInTheErrorAlertWritesNothingAndTheRepairFollows)
{
    const auto copyText = [](int i) { return QString("<copy %1> ").arg(i, 4, 10, QChar('0')).repeated(30); };
    const QByteArray image = QByteArray("<stored image> ").repeated(20000);
    enum class Export { backup, json, backupOfImages };
    for (const Export kind : {Export::backup, Export::json, Export::backupOfImages}) {
        SCOPED_TRACE(int(kind));
        // Each export meets the damage itself, in a store whose damage no start reads.
        DataFixture f;
        f.store->setHistoryLimit(-1);
        f.ctx().insert(f.store->makeClip({.kind = ClipKind::image, .imageData = image}));
        for (int i = 0; i < 1500; ++i)
            f.ctx().insert(f.store->makeClip(StoreFixture::textContent(copyText(i))));
        ASSERT_TRUE(f.store->save());
        f.store.reset();
        const std::vector<QByteArray> spoiled = kind == Export::backupOfImages
            ? std::vector<QByteArray>{image.left(4000)}
            : std::vector<QByteArray>{copyText(500).toUtf8(), copyText(750).toUtf8()};
        ASSERT_TRUE(test::spoilPagesHolding(f.path, StoreSchema::pageBytes, spoiled));
        f.StoreFixture::open();
        f.openData();
        f.destination = f.dir.filePath(kind == Export::json ? "out.json" : "out.quillmerebackup");

        f.press(kind == Export::json ? f.data()->jsonRow() : f.data()->exportRow(), kind == Export::backupOfImages);
        EXPECT_TRUE(test::waitUntil([&] { return f.window->model().isShowingBackupError(); }));
        EXPECT_EQ(f.errorText(), StoreDamage::damageMessage());
        EXPECT_FALSE(f.window->model().isShowingBackupResult());
        EXPECT_FALSE(QFile::exists(*f.destination));
        QMessageBox *alert = f.window->findChild<QMessageBox *>();
        ASSERT_TRUE(alert);
        EXPECT_EQ(alert->text(), "Could Not Complete");
        // What met the damage asked for the store's salvage.
        EXPECT_TRUE(test::waitUntil([&] { return f.ctx().damageFound(); }));
    }
}

TEST(DataPane, ASecondExportWhileOneRunsOpensNoDialog)
{
    DataFixture f;
    f.put({.kind = ClipKind::image, .imageData = QByteArray(2000000, 'x')});
    f.openData();
    f.destination = f.dir.filePath("x.quillmerebackup");
    QSignalSpy settled(&f.actions(), &DataActions::settled);
    f.data()->exportRow()->button()->click();
    EXPECT_EQ(f.data()->exportRow()->button()->text(), "Exporting…");
    EXPECT_EQ(f.data()->exportRow()->subtitle(), "Encoding backup…");
    f.data()->exportRow()->button()->click();
    EXPECT_EQ(f.dialogsRun, 1);
    EXPECT_TRUE(settled.wait(20000));
    EXPECT_EQ(f.resultText(), "Exported 1 clip to x.quillmerebackup.");
}

TEST(DataPane, APageFileBecomesANewPage)
{
    DataFixture f;
    f.openData();
    PageArchive page;
    page.exportedAt = f.clock.now();
    ArchivedClip clip;
    clip.text = QStringLiteral("shared");
    page.clips = {clip};
    f.source = f.dir.filePath("p.quillmerepage");
    ASSERT_FALSE(pagefile::writeFile(*f.source, page));
    f.press(f.data()->pageRow());
    EXPECT_EQ(f.resultText(), "Imported \"Untitled\" with 1 clip.");
    EXPECT_EQ(f.store->pages().size(), 1u);
}

TEST(DataPane, TheSheetShowsTheStoresFiguresAndSweeps)
{
    DataFixture f;
    seedDemoData(*f.store);
    f.putText("copied on two machines");
    f.putText("copied on two machines");
    SettingsWindow &window = f.openData();
    f.screenshot("data-demo");
    f.data()->statsRow()->button()->click();
    StorageDashboard *sheet = window.storageDashboard();
    ASSERT_TRUE(sheet);
    EXPECT_TRUE(QTest::qWaitForWindowExposed(sheet));
    QSignalSpy reloaded(sheet, &StorageDashboard::reloaded);
    if (!sheet->stats()) {
        ASSERT_TRUE(reloaded.wait(10000));
    }

    QObject receiver;
    std::optional<std::vector<ClipFact>> facts;
    storageFacts(*f.store, 150, &receiver, [&](std::vector<ClipFact> r) { facts = std::move(r); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return facts.has_value(); }, 10000));
    EXPECT_EQ(*sheet->stats(), StorageStats::from(*facts));
    EXPECT_EQ(sheet->stats()->totalClips, int(f.store->context().allClips().size()));
    const int candidates = sheet->stats()->duplicateCandidateCount;
    EXPECT_GE(candidates, 1);
    EXPECT_EQ(sheet->findChild<QLabel *>("totalClips")->text(), QString("%1 clips").arg(facts->size()));
    EXPECT_EQ(sheet->findChild<QLabel *>("totalBytes")->text(), storageByteText(sheet->stats()->totalBytes));
    QTest::qWait(50);
    sheet->grab().save(test::artifactPath("settings-stats-sheet.png"));

    ASSERT_TRUE(sheet->sweepButton());
    sheet->sweepButton()->click();
    EXPECT_TRUE(sheet->isSweeping());
    EXPECT_FALSE(sheet->sweepButton());
    ASSERT_TRUE(reloaded.wait(10000));
    ASSERT_TRUE(sheet->sweepMessage());
    EXPECT_TRUE(sheet->sweepMessage()->startsWith("Merged ")) << qPrintable(*sheet->sweepMessage());
    EXPECT_LT(sheet->stats()->duplicateCandidateCount, candidates);
    QScrollBar *bar = sheet->findChild<QScrollArea *>()->verticalScrollBar();
    QTest::qWait(50);
    bar->setValue(bar->maximum());
    QTest::qWait(50);
    sheet->grab().save(test::artifactPath("settings-stats-sheet-end.png"));

    QTest::keyClick(sheet, Qt::Key_Return);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !window.storageDashboard(); }, 5000));
    EXPECT_FALSE(f.actions().isShowingStorageDashboard());
}

TEST(DataPane, SheetTextsAndDrawingRules)
{
    EXPECT_EQ(StorageDashboard::sweepResultText(0), "No duplicates to merge.");
    EXPECT_EQ(StorageDashboard::sweepResultText(1), "Merged 1 duplicate.");
    EXPECT_EQ(StorageDashboard::sweepResultText(12), "Merged 12 duplicates.");
    EXPECT_EQ(StorageDashboard::duplicateDescription(1),
              "1 possible duplicate detected. The sweep merges cross-device copies into one, keeping pins and Pages.");
    EXPECT_EQ(StorageDashboard::duplicateDescription(2),
              "2 possible duplicates detected. The sweep merges cross-device copies into one, keeping pins and Pages.");
    const auto widths = KindProportionBar::segmentWidths({{ClipKind::text, 1, 75}, {ClipKind::image, 1, 25}}, 100, 201);
    EXPECT_DOUBLE_EQ(widths[0], 150.75);
    EXPECT_DOUBLE_EQ(widths[1], 50.25);
    EXPECT_EQ(KindProportionBar::segmentWidths({{ClipKind::text, 0, 0}}, 0, 200)[0], 0);
    EXPECT_EQ(PageUsageRow::barWidth(1, 1000, 300), 4);
    EXPECT_EQ(PageUsageRow::barWidth(7, 7, 300), 300);
    EXPECT_EQ(PageUsageRow::barWidth(1, 0, 300), 0);
    EXPECT_EQ(storageByteText(-5), storageByteText(0));
    EXPECT_EQ(storageByteText(999), "999 bytes");
    EXPECT_EQ(storageByteText(999999), "1 MB");
    EXPECT_EQ(storageByteText(1500000), "1.5 MB");
    EXPECT_EQ(storageByteText(1500000000000), "1500 GB");
}

TEST(DataPane, TheTabsPaneOrdersPages)
{
    DataFixture f;
    f.store->createPage("Alpha");
    f.store->createPage("Beta");
    f.openData();
    f.select(SettingsPane::tabs);
    auto *tabs = f.window->detail()->findChild<PageTabOrderSettingsView *>();
    ASSERT_TRUE(tabs);
    EXPECT_EQ(tabs->list()->count(), 2);
}
