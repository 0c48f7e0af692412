#pragma once

#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Sync/SyncEngine.h"
#include "Quillmere/Sync/SyncHealthStore.h"

#include "Support/TestSupport.h"

#include <QSignalSpy>

namespace quillmere::test {

// One device: its own store file, preferences and clock, syncing through `root`.
struct SyncDevice {
    SyncDevice(const QString &root, const QString &device, FakeClock &sharedClock, int compactAfter = 64,
               Clock storeClock = {}, int rescanMs = 3600000)
        : clock(sharedClock)
    {
        QString error;
        container =
            std::shared_ptr<ModelContainer>(ModelContainer::open(dir.filePath(QStringLiteral("default.store")),
                                                                 storeClock ? storeClock : clock.clock(), &error)
                                                .release());
        ClipStoreDependencies deps;
        deps.preferences = prefs.prefs.get();
        deps.notificationCenter = &notifications;
        deps.clock = storeClock ? storeClock : clock.clock();
        store = std::make_unique<ClipStore>(container, deps);
        engine = std::make_unique<SyncEngine>(*store, SyncEngine::Options{root, device, 0, 0, rescanMs, compactAfter});
        QObject::connect(engine.get(), &SyncEngine::event, [this](const SyncEvent &e) { events.push_back(e); });
    }

    bool settle()
    {
        return waitUntil([this] { return engine->isIdle(); }, 20000);
    }
    bool exportNow()
    {
        engine->scheduleExport();
        return settle();
    }
    bool importNow()
    {
        engine->scheduleImport();
        return settle();
    }
    ClipRef clip(const QString &text) const
    {
        for (const ClipRef &c : store->historyNewestFirst())
            if (c->text() == text)
                return c;
        return nullptr;
    }
    ClipRef add(const QString &text)
    {
        CapturedContent content;
        content.kind = ClipKind::text;
        content.text = text;
        return store->insertClip(content);
    }

    QTemporaryDir dir;
    TempPreferences prefs;
    NotificationCenter notifications;
    FakeClock &clock;
    SyncHealthStore health{*prefs, systemClock()};
    std::shared_ptr<ModelContainer> container;
    std::unique_ptr<ClipStore> store;
    std::unique_ptr<SyncEngine> engine;
    std::vector<SyncEvent> events;
};

// A then B: what A saved reaches B.
inline bool carry(SyncDevice &from, SyncDevice &to)
{
    return from.exportNow() && to.importNow() && to.settle() && from.settle();
}

} // namespace quillmere::test
