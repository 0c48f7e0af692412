#pragma once

// A clip store on a fake clock for the store, Page, archive and sweep tests.

#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Support/TestSupport.h"

#include <QSqlQuery>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace quillmere::test {

class StoreFixture {
public:
    // `onDisk` keeps the database in a file so it can be reopened.
    explicit StoreFixture(bool onDisk = false)
    {
        if (onDisk)
            path = dir.filePath(QStringLiteral("pages.store"));
        open();
    }

    void open()
    {
        store.reset();
        QString error;
        auto container = ModelContainer::open(path, clock.clock(), &error);
        if (!container)
            ADD_FAILURE() << qPrintable(error);
        store = std::make_unique<ClipStore>(std::shared_ptr<ModelContainer>(container.release()),
                                            ClipStoreDependencies{prefs.prefs.get(), &center, clock.clock(), &audit});
    }

    ModelContext &ctx() { return store->context(); }

    // Stores a clip as it is, without the reuse of equal content, a second after the previous one.
    ClipRef put(const CapturedContent &content)
    {
        clock.advance(1000);
        ClipRef clip = store->makeClip(content);
        ctx().insert(clip);
        EXPECT_TRUE(store->save());
        return clip;
    }
    ClipRef putText(const QString &text) { return put(textContent(text)); }

    static CapturedContent textContent(const QString &text, const std::optional<QString> &app = std::nullopt)
    {
        CapturedContent c{.kind = ClipKind::text, .text = text, .sourceAppName = app};
        if (app)
            c.sourceAppBundleID = QStringLiteral("org.example.") + *app;
        return c;
    }

    // What the store reported to the sync audit: "auditAdded" or "auditPruned.<reason>".
    qint64 audited(const QString &key) const { return audit.counts.value(key, 0); }

    // Every later write is refused, as a change the store cannot take: nothing of it is kept.
    void refuseWrites()
    {
        QSqlQuery q(ctx().database());
        for (const char *table :
             {"clips", "clip_images", "clip_files", "pinboards", "app_settings", "source_app_brands", "deletions"})
            for (const char *event : {"INSERT", "UPDATE", "DELETE"})
                EXPECT_TRUE(q.exec(QStringLiteral("CREATE TEMP TRIGGER refuse_%1_%2 BEFORE %2 ON %1"
                                                  " BEGIN SELECT RAISE(ABORT, 'refused'); END")
                                       .arg(QLatin1String(table), QLatin1String(event))));
    }

    // The store cannot grow, as on a full disk, until makeRoom().
    void fillDisk()
    {
        QSqlQuery q(ctx().database());
        ASSERT_TRUE(q.exec(QStringLiteral("PRAGMA page_count")) && q.next());
        const qint64 pages = q.value(0).toLongLong();
        q.finish();
        ASSERT_TRUE(q.exec(QStringLiteral("PRAGMA max_page_count = %1").arg(pages)));
    }
    void makeRoom() { QSqlQuery(ctx().database()).exec(QStringLiteral("PRAGMA max_page_count = 1073741823")); }

    QTemporaryDir dir;
    QString path;
    FakeClock clock;
    TempPreferences prefs;
    NotificationCenter center;
    struct CountingAudit : ClipAuditRecording {
        void recordAdded(int count) override { counts[QStringLiteral("auditAdded")] += count; }
        void recordPruned(ClipPruneReason reason, int count) override
        {
            counts[QStringLiteral("auditPruned.") + rawValue(reason)] += count;
        }
        QHash<QString, qint64> counts;
    } audit;
    std::unique_ptr<ClipStore> store;
};

} // namespace quillmere::test
