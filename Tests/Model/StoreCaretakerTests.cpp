#include "Support/PagesFixture.h"

#include "Quillmere/Model/StoreCaretaker.h"

#include <QDir>
#include <QFile>

using namespace quillmere;

namespace {

struct Told {
    std::vector<StoreTrouble> troubles;
    void watch(StoreCaretaker &caretaker)
    {
        QObject::connect(&caretaker, &StoreCaretaker::troubleOccurred,
                         [this](const StoreTrouble &trouble) { troubles.push_back(trouble); });
    }
    std::vector<StoreTrouble::Kind> kinds() const
    {
        std::vector<StoreTrouble::Kind> out;
        for (const StoreTrouble &t : troubles)
            out.push_back(t.kind);
        return out;
    }
};

} // namespace

TEST(StoreCaretaker, CopiesKeptFromAFullDiskAreWrittenByTheRetryAndTheTroubleIsToldOnce)
{
    test::StoreFixture f(true);
    StoreCaretaker caretaker(*f.store, {});
    caretaker.setRetryDelays(10, 40);
    Told told;
    told.watch(caretaker);
    caretaker.start();
    EXPECT_TRUE(told.troubles.empty());

    f.fillDisk();
    const QString filler = QString(" filler").repeated(3000);
    for (const QString &text : {"first" + filler, "second" + filler})
        EXPECT_TRUE(f.store->insertClip(test::StoreFixture::textContent(text)));
    ASSERT_EQ(told.kinds(), std::vector{StoreTrouble::Kind::saveFailed});
    EXPECT_TRUE(told.troubles.front().diskFull);
    EXPECT_TRUE(told.troubles.front().message().contains("disk is full"));
    EXPECT_TRUE(f.ctx().hasChanges());

    // Nothing else is saved meanwhile: the retry alone writes them once there is room.
    f.makeRoom();
    EXPECT_TRUE(test::waitUntil([&] { return !f.ctx().hasChanges(); }));
    f.open();
    EXPECT_EQ(f.ctx().clipCount(), 2);
    EXPECT_EQ(told.troubles.size(), 1u);
}

TEST(StoreCaretaker, AMemoryOnlySessionMovesIntoItsStoreFileOnceItCanAndKeepsEveryRecord)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("Quillmere/default.store");
    {
        QFile blocker(dir.filePath("Quillmere")); // a file where the folder should be
        ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    }
    auto setup = ModelContainerFactory::makeSetup({path, systemClock()});
    ASSERT_EQ(setup.mode, PersistenceMode::inMemory);
    test::FakeClock clock;
    test::TempPreferences prefs;
    NotificationCenter center;
    ClipStore store(setup.container, {prefs.prefs.get(), &center, clock.clock(), nullptr, {}});
    StoreCaretaker caretaker(store, setup);
    caretaker.setRetryDelays(10, 40);
    Told told;
    told.watch(caretaker);
    caretaker.start();
    ASSERT_EQ(told.kinds(), std::vector{StoreTrouble::Kind::memoryOnlySession});
    EXPECT_TRUE(told.troubles.front().message().contains("in memory only"));

    PageRef page = store.createPage("Work");
    const QByteArray picture(200 * 1024, 'p'); // large enough to be dropped from memory once saved
    ClipRef image = store.insertClip({.kind = ClipKind::image, .imageData = picture});
    ClipRef text = store.insertClip(test::StoreFixture::textContent("filed note"));
    store.assignClip(text, page);
    ASSERT_TRUE(image && text);

    ASSERT_TRUE(QFile::remove(dir.filePath("Quillmere")));
    ASSERT_TRUE(test::waitUntil([&] { return !caretaker.isMemoryOnly(); }));
    EXPECT_FALSE(store.container().isInMemory());
    EXPECT_FALSE(store.context().hasChanges());
    // The same objects, now of the store on disk.
    EXPECT_EQ(text->modelContext(), &store.context());
    EXPECT_EQ(store.context().clipWithDedupID(text->dedupID()), text);
    EXPECT_EQ(told.troubles.size(), 1u);

    QString error;
    auto reopened = ModelContainer::open(path, systemClock(), &error);
    ASSERT_TRUE(reopened) << qPrintable(error);
    ModelContext &disk = reopened->mainContext();
    ASSERT_EQ(disk.clipCount(), 2);
    EXPECT_EQ(disk.clipWithDedupID(image->dedupID())->imageData(), picture);
    ClipRef filed = disk.clipWithDedupID(text->dedupID());
    ASSERT_TRUE(filed && filed->pinboard());
    EXPECT_EQ(filed->pinboard()->name(), "Work");
}

TEST(StoreCaretaker, AStoreSetAsideIsToldWithWhereItLies)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("default.store");
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray("not a database").repeated(100));
    }
    auto setup = ModelContainerFactory::makeSetup({path, systemClock()});
    ASSERT_EQ(setup.mode, PersistenceMode::localOnly);
    test::TempPreferences prefs;
    NotificationCenter center;
    ClipStore store(setup.container, {prefs.prefs.get(), &center, systemClock(), nullptr, {}});
    StoreCaretaker caretaker(store, setup);
    Told told;
    told.watch(caretaker);
    caretaker.start();
    ASSERT_EQ(told.kinds(), std::vector{StoreTrouble::Kind::storeMovedAside});
    const QStringList aside = QDir(dir.path()).entryList({"default.store.unreadable-*"});
    ASSERT_EQ(aside.size(), 1);
    EXPECT_EQ(told.troubles.front().path, dir.filePath(aside.front()));
    EXPECT_TRUE(told.troubles.front().message().contains(dir.filePath(aside.front())));
}
