#pragma once

// A history view model over a store, notification centre, preferences, scheduler and engine that
// the test controls.

#include "ManualScheduler.h"
#include "PanelFixture.h"
#include "Quillmere/Panel/HistoryViewModel.h"
#include "Quillmere/Platform/Core/Notices.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Support/TestSupport.h"

#include <QSet>

namespace quillmere::test {

class FakeHistoryStore : public HistoryStore {
public:
    HistorySnapshot data;
    QString password = QStringLiteral("open sesame");
    bool acceptInserts = true;
    std::vector<std::pair<CapturedContent, std::optional<PersistentIdentifier>>> inserted;

    HistorySnapshot snapshot() const override { return data; }
    bool verifyPageLock(const PersistentIdentifier &, const QString &pw) override { return pw == password; }
    bool insertManualClip(const CapturedContent &content, const std::optional<PersistentIdentifier> &page) override
    {
        inserted.emplace_back(content, page);
        return acceptInserts;
    }
    // A save happened.
    void publish() { Q_EMIT changed(); }
};

class FakePasteStack : public PasteStackAccess {
public:
    std::vector<QUuid> ids;
    std::vector<QUuid> stack() const override { return ids; }
    void setStack(const std::vector<QUuid> &stack) override { ids = stack; }
    void retainOnly(const QSet<QUuid> &existing) override
    {
        std::erase_if(ids, [&](const QUuid &id) { return !existing.contains(id); });
    }
};

struct ModelFixture {
    FakeHistoryStore store;
    NotificationCenter center;
    TempPreferences prefs;
    ManualScheduler scheduler;
    FakeScorer engine;
    FakePasteStack stack;
    FakeClock clock;

    std::vector<PersistentIdentifier> pasted;
    std::vector<QString> pastedTexts;
    bool acceptPasteText = true;
    int closes = 0;
    int beeps = 0;
    std::vector<QString> typedThrough;
    std::vector<std::vector<ThumbnailRequest>> thumbnails;
    std::vector<QString> modeNotices;
    std::vector<bool> pauseNotices;
    std::unique_ptr<HistoryViewModel> model;

    explicit ModelFixture(std::vector<ClipSnapshot> clips = makeClips(10), std::vector<PageSnapshot> pages = {})
    {
        store.data = {std::move(clips), std::move(pages)};
        center.addObserver(Notices::panelInteractionModeChanged, nullptr, [this](const Notification &n) {
            modeNotices.push_back(n.userInfo.value(QStringLiteral("mode")).toString());
        });
        center.addObserver(Notices::panelKeyboardCaptureChanged, nullptr, [this](const Notification &n) {
            pauseNotices.push_back(n.userInfo.value(QStringLiteral("paused")).toBool());
        });
        HistoryViewCallbacks callbacks;
        callbacks.onPaste = [this](ClipSnapshot clip) { pasted.push_back(clip.id); };
        callbacks.onPasteText = [this](const QString &text) {
            pastedTexts.push_back(text);
            return acceptPasteText;
        };
        callbacks.onClose = [this] { ++closes; };
        callbacks.beep = [this] { ++beeps; };
        callbacks.typeThrough = [this](const QString &text) { typedThrough.push_back(text); };
        callbacks.prewarmThumbnails = [this](const std::vector<ThumbnailRequest> &r) { thumbnails.push_back(r); };
        model = std::make_unique<HistoryViewModel>(
            HistoryViewDependencies{&store, &center, prefs.prefs.get(), &scheduler, &engine, &stack, clock.clock()},
            callbacks);
        show();
    }

    // The panel is shown and its deferred work has run.
    void show()
    {
        center.post(Notices::panelDidShow);
        scheduler.runPending();
    }
    void changeStore(const std::function<void(HistorySnapshot &)> &edit)
    {
        edit(store.data);
        store.publish();
    }
    void key(int qtKey, Qt::KeyboardModifiers modifiers = {}, const QString &text = {})
    {
        center.post(Notices::panelKeyPressed, nullptr, PanelKey{qtKey, modifiers, text}.toUserInfo());
        scheduler.runPending();
    }
    void type(const QString &text)
    {
        for (QChar c : text)
            key(c.toUpper().unicode(), {}, QString(c));
    }

    const HistoryViewState &state() const { return model->state(); }
    const ClipLists &lists() const { return model->lists(); }
    std::vector<qint64> visibleRows() const { return lists().visibleRowIDs(); }
    std::optional<qint64> selectedRow() const
    {
        const ClipSnapshot *clip = lists().navigableAt(state().selectedIndex);
        return clip ? std::optional(clip->id.rowID) : std::nullopt;
    }
    QString pref(const QString &key) const { return prefs.prefs->string(key).value_or(QString()); }
};

} // namespace quillmere::test
