#pragma once

// A store over a real database for the Page, archive and sweep tests; shared with Tests/Archive.

#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Platform/NotificationCenter.h"
#include "Support/TestSupport.h"

#include <QSqlQuery>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <map>

namespace quillmere::test {

class RecordingAudit : public SyncAuditRecording {
public:
    void recordAdded(int count) override { added += count; }
    void recordPruned(SyncPruneReason reason, int count) override { pruned[reason] += count; }
    int added = 0;
    std::map<SyncPruneReason, int> pruned;
};

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
        ClipStoreDependencies deps;
        deps.preferences = prefs.prefs.get();
        deps.notificationCenter = &center;
        deps.clock = clock.clock();
        deps.auditRecorder = &audit;
        store = std::make_unique<ClipStore>(std::shared_ptr<ModelContainer>(container.release()), deps);
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

    static CapturedContent textContent(const QString &text)
    {
        CapturedContent c;
        c.kind = ClipKind::text;
        c.text = text;
        return c;
    }

    // Every later write fails, as on a full or read-only disk.
    void breakWrites() { QSqlQuery(ctx().database()).exec(QStringLiteral("PRAGMA query_only = 1")); }

    QTemporaryDir dir;
    QString path;
    FakeClock clock;
    TempPreferences prefs;
    NotificationCenter center;
    RecordingAudit audit;
    std::unique_ptr<ClipStore> store;
};

} // namespace quillmere::test
