#include "Support/PagesFixture.h"
#include "Support/PowerCutFiles.h"

#include "Quillmere/Model/FallbackStore.h"
#include "Quillmere/Model/StoreCaretaker.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <sqlite3.h>

using namespace quillmere;
using namespace std::chrono_literals;

namespace {

// A store file that holds on the disk, then taken through a file layer whose power can be cut.
struct PowerCutStore {
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("pages.store"));
    std::unique_ptr<test::PowerCutFiles> files;

    PowerCutStore()
    {
        QString error;
        EXPECT_TRUE(ModelContainer::open(path, systemClock(), &error)) << qPrintable(error);
        files = std::make_unique<test::PowerCutFiles>();
    }

    // Cuts the power, has `close` close every connection, and counts the clips the disk kept.
    int clipsAfterPowerCut(const std::function<void()> &close)
    {
        files->cutPower();
        close();
        EXPECT_TRUE(files->waitUntilAllClosed(10s));
        files.reset();
        QString error;
        auto container = ModelContainer::open(path, systemClock(), &error);
        EXPECT_TRUE(container) << qPrintable(error);
        return container ? int(container->mainContext().clipCount()) : -1;
    }
};

bool waitForSync(ModelContainer &container)
{
    QObject receiver;
    bool synced = false;
    container.whenSynced(&receiver, [&] { synced = true; });
    return test::waitUntil([&] { return synced; });
}

void copy(ClipStore &store, const QString &text)
{
    ASSERT_TRUE(store.insertClip(test::StoreFixture::textContent(text)));
}

} // namespace

TEST(StoreSyncer, CommitsOnTheStoresConnectionAloneAreLostInAPowerCut)
{
    PowerCutStore disk;
    test::StoreFixture maker;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("unsynced"));
        db.setDatabaseName(disk.path);
        ASSERT_TRUE(db.open());
        ASSERT_TRUE(ModelContainer::setUpConnection(db, true, nullptr));
        auto ctx = std::make_unique<ModelContext>(db, systemClock());
        ASSERT_TRUE(ctx->load(nullptr));
        for (int i = 0; i < 10; ++i) {
            ctx->insert(maker.store->makeClip(test::StoreFixture::textContent(QStringLiteral("copy %1").arg(i))));
            ASSERT_TRUE(ctx->save());
        }
        EXPECT_EQ(ctx->clipCount(), 10);
        EXPECT_EQ(disk.clipsAfterPowerCut([&] {
            ctx.reset();
            db.close();
        }),
                  0);
    }
    QSqlDatabase::removeDatabase(QStringLiteral("unsynced"));
}

TEST(StoreSyncer, CopiesHoldThroughAPowerCutOnceSyncedEvenWhileAReaderHoldsTheLog)
{
    PowerCutStore disk;
    auto f = std::make_unique<test::StoreFixture>(true);
    f->path = disk.path;
    f->open();
    for (int i = 0; i < 20; ++i)
        copy(*f->store, QStringLiteral("copy %1").arg(i));
    ASSERT_TRUE(waitForSync(f->store->container()));

    // A reader in the middle of a read keeps the checkpoint from moving what follows into the file.
    sqlite3 *reader = nullptr;
    ASSERT_EQ(sqlite3_open_v2(QFile::encodeName(disk.path).constData(), &reader, SQLITE_OPEN_READONLY, nullptr),
              SQLITE_OK);
    sqlite3_stmt *read = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(reader, "SELECT COUNT(*) FROM clips", -1, &read, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(read), SQLITE_ROW);
    for (int i = 20; i < 30; ++i)
        copy(*f->store, QStringLiteral("copy %1").arg(i));
    ASSERT_TRUE(waitForSync(f->store->container()));

    EXPECT_EQ(disk.clipsAfterPowerCut([&] {
        sqlite3_finalize(read);
        sqlite3_close(reader);
        f.reset();
    }),
              30);
}

TEST(StoreSyncer, CallsBackOnTheEventLoopAtOnceInMemoryAndNeverToAReceiverGone)
{
    test::StoreFixture memory;
    QObject receiver;
    bool called = false;
    memory.store->container().whenSynced(&receiver, [&] { called = true; });
    EXPECT_FALSE(called);
    EXPECT_TRUE(test::waitUntil([&] { return called; }));

    test::StoreFixture f(true);
    copy(*f.store, QStringLiteral("copy"));
    bool gone = false;
    auto early = std::make_unique<QObject>();
    f.store->container().whenSynced(early.get(), [&] { gone = true; });
    early.reset();
    ASSERT_TRUE(waitForSync(f.store->container()));
    EXPECT_FALSE(gone);
}

TEST(StoreSyncer, AFallbackStoreGoesOnlyOnceTheStoresSaveOfItsCopiesIsSynced)
{
    test::StoreFixture f(true);
    StoreCaretaker caretaker(*f.store, {});
    caretaker.setRetryDelays(10, 40);
    caretaker.start();
    QSqlQuery(f.ctx().database()).exec(QStringLiteral("PRAGMA query_only = 1"));
    copy(*f.store, QStringLiteral("refused"));
    ASSERT_TRUE(test::waitUntil([&] { return FallbackStore::all(f.path).size() == 1; }));

    QSqlQuery(f.ctx().database()).exec(QStringLiteral("PRAGMA query_only = 0"));
    ASSERT_TRUE(f.store->save());
    ASSERT_FALSE(f.ctx().hasChanges());
    // Its removal waits for the sync, which is heard on the event loop.
    EXPECT_EQ(FallbackStore::all(f.path).size(), 1);
    EXPECT_TRUE(test::waitUntil([&] { return FallbackStore::all(f.path).isEmpty(); }));
}
