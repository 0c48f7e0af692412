#pragma once

#include "Quillmere/Model/CapturedContent.h"
#include "Quillmere/Model/ModelContainer.h"
#include "Quillmere/Model/SyncAudit.h"
#include "Quillmere/Platform/Clock.h"

#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>

namespace quillmere {

class NotificationCenter;
class Preferences;

// Everything the store needs from outside, so tests can hand in their own.
struct ClipStoreDependencies {
    Preferences *preferences = nullptr;
    NotificationCenter *notificationCenter = nullptr;
    Clock clock = systemClock();
    SyncAuditRecording *auditRecorder = nullptr;
    std::function<SyncHealthFacts()> syncHealthFacts;
};

// The main-thread store through which everything reads and changes clips and Pages.
class ClipStore : public QObject {
    Q_OBJECT
public:
    static inline const QString contentDidChangeNotification = QStringLiteral("clipStoreContentDidChange");
    static constexpr int contentChangeIntervalMs = 3000;

    ClipStore(std::shared_ptr<ModelContainer> container, ClipStoreDependencies deps, QObject *parent = nullptr);
    ~ClipStore() override;

    ModelContainer &container() const { return *m_container; }
    ModelContext &context() const { return m_container->mainContext(); }
    SyncAuditRecording *auditRecorder() const { return m_deps.auditRecorder; }
    SyncHealthFacts syncHealthFacts() const { return m_deps.syncHealthFacts ? m_deps.syncHealthFacts() : SyncHealthFacts{}; }
    Preferences &preferences() const { return *m_deps.preferences; }
    QDateTime now() const { return m_deps.clock(); }

    // Saves the main context. On success announces the change (at most once every 3 s); on
    // failure logs it and keeps the unsaved changes.
    bool save();

    // ---- Capture road and clip edits ------------------------------------------------------

    // ---- Pages, manual clips, archives and the duplicate sweep -----------------------------

Q_SIGNALS:
    // Every successful save that wrote something.
    void didSave();

protected:
    // Saves, or on failure logs `failureFormat` and drops the pending changes so nothing
    // half-done stays behind.
    bool saveOrRollback(const char *failureFormat);

private:
    void announceChange();

    std::shared_ptr<ModelContainer> m_container;
    ClipStoreDependencies m_deps;
    QTimer m_pendingNotice;
    std::optional<QDateTime> m_lastNoticeAt;
};

} // namespace quillmere
