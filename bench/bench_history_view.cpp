// History view figures for 10,000 clips (1 in 50 an image, 1 in 10 on a Page): the visible list
// under a two-word query, one keystroke's refresh through the key tables, a selection move, and
// the refresh after a store save. Goals: 5 ms, 8 ms and 0.1 ms for the first three. Then the
// first keystroke of a search in a store file of 100,000 clips: the main thread's time with the
// store searched on a worker, and with the whole history read on the main thread.
#include "BenchSupport.h"
#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Panel/HistoryViewModel.h"
#include "Quillmere/Panel/TaskScheduler.h"
#include "Quillmere/Platform/Core/Notices.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/Core/Preferences.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QThread>
#include <QThreadPool>
#include <benchmark/benchmark.h>
#include <ctime>
#include <random>

using namespace quillmere;

namespace {

constexpr int kClips = 10000;
constexpr int kPages = 12;

const QStringList kWords{QStringLiteral("invoice"),
                         QStringLiteral("meeting"),
                         QStringLiteral("recipe"),
                         QStringLiteral("deploy"),
                         QStringLiteral("kernel"),
                         QStringLiteral("garden"),
                         QStringLiteral("flight"),
                         QStringLiteral("budget"),
                         QStringLiteral("photo"),
                         QStringLiteral("report"),
                         QStringLiteral("café"),
                         QStringLiteral("Überweisung"),
                         QStringLiteral("the"),
                         QStringLiteral("and"),
                         QStringLiteral("with"),
                         QStringLiteral("notes"),
                         QStringLiteral("https://example.org/path"),
                         QStringLiteral("Quarterly"),
                         QStringLiteral("draft"),
                         QStringLiteral("server"),
                         QStringLiteral("customer"),
                         QStringLiteral("Zoë"),
                         QStringLiteral("schedule"),
                         QStringLiteral("password"),
                         QStringLiteral("address"),
                         QStringLiteral("parcel"),
                         QStringLiteral("colour")};
const QStringList kApps{QStringLiteral("Firefox"), QStringLiteral("Terminal"), QStringLiteral("Mail"),
                        QStringLiteral("Editor"),  QStringLiteral("Files"),    QStringLiteral("Chat")};

// A vocabulary of a few thousand made-up words around the named ones, so that a query word is in
// a few per cent of the clips, as in a real history.
const QStringList &vocabulary()
{
    static const QStringList words = [] {
        const char *syllables[] = {"ka", "lo", "mi",  "ren", "to", "sa", "vel", "dor", "pi", "an",
                                   "qu", "es", "tri", "mon", "ba", "ze", "lu",  "ner", "fo", "gi"};
        std::mt19937 rng(3);
        QStringList out = kWords;
        while (out.size() < 3000) {
            QString w;
            for (int n = 2 + int(rng() % 3); n > 0; --n)
                w += QLatin1String(syllables[rng() % 20]);
            out << w;
        }
        return out;
    }();
    return words;
}

QString sentence(std::mt19937 &rng, int words)
{
    const QStringList &vocab = vocabulary();
    QStringList out;
    for (int i = 0; i < words; ++i) {
        // Common words are picked far more often than rare ones.
        const double u = std::uniform_real_distribution<double>(0, 1)(rng);
        out << vocab[int(u * u * u * vocab.size())];
    }
    return out.join(u' ');
}

HistorySnapshot makeHistory()
{
    std::mt19937 rng(7);
    HistorySnapshot s;
    for (int p = 1; p <= kPages; ++p)
        s.pages.push_back({{QStringLiteral("Pinboard"), p},
                           QUuid::createUuid(),
                           QStringLiteral("Page %1").arg(p),
                           QStringLiteral("blue"),
                           QStringLiteral("square.grid.2x2"),
                           p == 3});
    const QDateTime start(QDate(2026, 3, 1), QTime(12, 0), Qt::UTC);
    for (int i = 0; i < kClips; ++i) {
        ClipSnapshot c;
        c.id = {QStringLiteral("ClipItem"), i + 1};
        c.dedupID = QUuid::createUuid();
        c.createdAt = start.addSecs(-37 * i);
        c.sourceAppName = kApps[i % kApps.size()];
        if (i % 50 == 0) {
            c.kindRawValue = QStringLiteral("image");
            c.hasImageData = true;
            c.recognizedText = sentence(rng, 20);
            c.contentHash = QString::number(i);
        } else if (i % 17 == 0) {
            c.kindRawValue = QStringLiteral("file");
            c.text = QStringLiteral("/home/user/Documents/%1.pdf").arg(i);
            c.fileName = QStringLiteral("%1.pdf").arg(i);
        } else {
            c.kindRawValue = i % 9 == 0 ? QStringLiteral("url") : QStringLiteral("text");
            c.text = sentence(rng, 5 + int(rng() % 80));
            if (i % 23 == 0)
                c.customTitle = sentence(rng, 3);
        }
        if (i % 10 == 0)
            c.pageID = PersistentIdentifier{QStringLiteral("Pinboard"), 1 + (i / 10) % kPages};
        c.primaryText = c.text ? c.text : c.recognizedText;
        s.clips.push_back(std::move(c));
    }
    return s;
}

class BenchStore : public HistoryStore {
public:
    HistorySnapshot data = makeHistory();
    HistorySnapshot snapshot() const override { return data; }
    bool verifyPageLock(const PersistentIdentifier &, const QString &) override { return false; }
    bool insertManualClip(const CapturedContent &, const std::optional<PersistentIdentifier> &) override
    {
        return false;
    }
    void publish() { Q_EMIT changed(); }
};

// Deferred work never runs: only the synchronous part of each step is measured.
class IdleScheduler : public TaskScheduler {
public:
    TaskId schedule(std::chrono::milliseconds, std::function<void()>) override { return ++m_next; }
    void cancel(TaskId) override {}

private:
    TaskId m_next = 0;
};

struct Bench {
    QTemporaryDir dir;
    Preferences prefs{dir.filePath(QStringLiteral("prefs.json"))};
    NotificationCenter center;
    IdleScheduler scheduler;
    BenchStore store;
    HistoryViewModel model{{&store, &center, &prefs, &scheduler, nullptr, nullptr, systemClock()}, {}};

    // The lists are read only while the panel shows.
    Bench() { center.post(Notices::panelDidShow); }
    void key(int qtKey, const QString &text = {}) { model.handleCapturedKey({qtKey, {}, text}); }
};

void BM_VisibleListTwoWordQuery(benchmark::State &state)
{
    ClipLists lists;
    lists.setSnapshot(makeHistory());
    const ClipLists::Query query{
        PanelTab::history(), {}, QStringLiteral("meeting budget"), {}, QDateTime::currentDateTimeUtc()};
    for (auto _ : state) {
        lists.refreshVisible(query, true, 0);
        benchmark::DoNotOptimize(lists.visibleCount());
    }
    state.counters["visible"] = lists.visibleCount();
}
BENCHMARK(BM_VisibleListTwoWordQuery)->Unit(benchmark::kMillisecond);

void BM_KeystrokeRefresh(benchmark::State &state)
{
    Bench b;
    b.model.search().expandSearch();
    for (QChar c : QStringLiteral("meeting budge"))
        b.key(c.toUpper().unicode(), QString(c));
    bool typed = false;
    for (auto _ : state) {
        // One keystroke per iteration, through the key tables: "t", then Delete, and again.
        if (typed)
            b.key(Qt::Key_Backspace, QStringLiteral("\b"));
        else
            b.key(Qt::Key_T, QStringLiteral("t"));
        typed = !typed;
    }
    state.counters["visible"] = b.model.lists().visibleCount();
}
BENCHMARK(BM_KeystrokeRefresh)->Unit(benchmark::kMillisecond);

void BM_SelectionMove(benchmark::State &state)
{
    Bench b;
    b.model.setSelectedIndex(5000);
    bool right = false;
    for (auto _ : state) {
        right = !right;
        b.key(right ? Qt::Key_Right : Qt::Key_Left);
    }
}
BENCHMARK(BM_SelectionMove)->Unit(benchmark::kMicrosecond);

void BM_RefreshAfterSave(benchmark::State &state)
{
    Bench b;
    b.model.setSelectedIndex(200);
    for (auto _ : state) {
        b.store.data.clips[300].text = QStringLiteral("edited %1").arg(state.iterations());
        b.store.publish();
    }
}
BENCHMARK(BM_RefreshAfterSave)->Unit(benchmark::kMillisecond);

// What a save costs the view while the panel is hidden: nothing is read.
void BM_SaveWhilePanelHidden(benchmark::State &state)
{
    Bench b;
    b.model.panelDidHide();
    for (auto _ : state) {
        b.store.data.clips[300].text = QStringLiteral("edited %1").arg(state.iterations());
        b.store.publish();
    }
}
BENCHMARK(BM_SaveWhilePanelHidden)->Unit(benchmark::kMicrosecond);

// Reading the lists from a real store of 10,000 text clips: the newest page, as a showing does,
// and the whole history, as the first keystroke of a search does.
struct RealStore {
    QTemporaryDir dir;
    Preferences prefs{dir.filePath(QStringLiteral("prefs.json"))};
    NotificationCenter center;
    ClipStore store{ModelContainerFactory::makeInMemoryContainer(systemClock(), nullptr), {&prefs, &center}};
    ClipStoreHistory history{store};

    RealStore()
    {
        store.setHistoryLimit(-1);
        std::mt19937 rng(7);
        for (int i = 0; i < kClips; ++i) {
            CapturedContent content{.kind = ClipKind::text};
            content.text = sentence(rng, 5 + int(rng() % 80));
            store.context().insert(store.makeClip(content));
        }
        store.save();
    }
};

void BM_NewestPageFromStore(benchmark::State &state)
{
    RealStore s;
    for (auto _ : state)
        benchmark::DoNotOptimize(s.history.newestSnapshot(HistoryViewModel::historyPageSize, {}).clips.size());
}
BENCHMARK(BM_NewestPageFromStore)->Unit(benchmark::kMillisecond);

void BM_WholeHistoryFromStore(benchmark::State &state)
{
    RealStore s;
    for (auto _ : state) {
        ClipLists lists;
        lists.setSnapshot(s.history.snapshot());
        benchmark::DoNotOptimize(lists.items().size());
    }
}
BENCHMARK(BM_WholeHistoryFromStore)->Unit(benchmark::kMillisecond);

void BM_SearchKeysFromScratch(benchmark::State &state)
{
    const HistorySnapshot history = makeHistory();
    for (auto _ : state) {
        ClipLists lists; // a fresh cache folds every clip
        lists.setSnapshot(history);
        benchmark::DoNotOptimize(lists.items().size());
    }
}
BENCHMARK(BM_SearchKeysFromScratch)->Unit(benchmark::kMillisecond);

// A store file of 100,000 text clips, made once for the cases that share it.
struct StoreFile {
    static constexpr int clips = 100000;
    QTemporaryDir dir;
    Preferences prefs{dir.filePath(QStringLiteral("prefs.json"))};
    NotificationCenter center;
    std::unique_ptr<ClipStore> store;
    std::unique_ptr<ClipStoreHistory> history;

    StoreFile()
    {
        QString error;
        std::shared_ptr<ModelContainer> container =
            ModelContainer::open(dir.filePath(QStringLiteral("history.store")), systemClock(), &error);
        store = std::make_unique<ClipStore>(container, ClipStoreDependencies{&prefs, &center});
        store->setHistoryLimit(-1);
        std::mt19937 rng(7);
        for (int i = 0; i < clips; ++i) {
            CapturedContent content{.kind = ClipKind::text};
            content.text = sentence(rng, 5 + int(rng() % 80));
            content.sourceAppName = kApps[i % kApps.size()];
            store->context().insert(store->makeClip(content));
            if (i % 10000 == 9999)
                store->save();
        }
        history = std::make_unique<ClipStoreHistory>(*store);
    }
    static StoreFile &shared()
    {
        static StoreFile file;
        return file;
    }
};

// The clip store's history as it was before it offered reads off the main thread.
class MainThreadOnly : public HistoryStore {
public:
    explicit MainThreadOnly(const HistoryStore &inner) : m_inner(inner) {}
    HistorySnapshot snapshot() const override { return m_inner.snapshot(); }
    HistorySnapshot newestSnapshot(int count, const std::vector<QUuid> &also) const override
    {
        return m_inner.newestSnapshot(count, also);
    }
    bool verifyPageLock(const PersistentIdentifier &, const QString &) override { return false; }
    bool insertManualClip(const CapturedContent &, const std::optional<PersistentIdentifier> &) override
    {
        return false;
    }

private:
    const HistoryStore &m_inner;
};

double threadSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// Main-thread processor time from the first keystroke of a search until the lists hold its answer,
// the store's or the whole history read here (the keystroke itself in "keystroke_ms", the one after it in "next_keystroke_ms", then
// the refresh after a save in "save_refresh_ms"); the panel was just shown.
void firstKeystroke(benchmark::State &state, HistoryStore &history)
{
    StoreFile &file = StoreFile::shared();
    double keystroke = 0;
    double nextKeystroke = 0; // once the answer is held
    double saveRefresh = 0;
    for (auto _ : state) {
        QtTaskScheduler scheduler;
        HistoryViewModel model{{&history, &file.center, &file.prefs, &scheduler, nullptr, nullptr, systemClock()}, {}};
        file.center.post(Notices::panelDidShow);
        model.search().expandSearch();
        QCoreApplication::processEvents();
        QThread::msleep(50); // the source names read of the showing is done
        QCoreApplication::processEvents();
        const double start = threadSeconds();
        model.handleCapturedKey({Qt::Key_M, {}, QStringLiteral("m")});
        keystroke += threadSeconds() - start;
        // The store's answer held, or the whole history read here.
        const auto answered = [&] { return model.lists().isComplete() || model.lists().holdsMatches(); };
        while (!answered()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            if (!answered())
                QThread::msleep(2);
        }
        state.SetIterationTime(threadSeconds() - start);
        const double next = threadSeconds();
        model.handleCapturedKey({Qt::Key_E, {}, QStringLiteral("e")});
        nextKeystroke += threadSeconds() - next;
        // A save while the answer is shown keeps it.
        const double save = threadSeconds();
        Q_EMIT history.changed();
        saveRefresh += threadSeconds() - save;
        if (!answered())
            state.SkipWithError("a save dropped the answer");
        state.counters["visible"] = model.lists().visibleCount();
    }
    state.counters["keystroke_ms"] = keystroke * 1000 / double(state.iterations());
    state.counters["next_keystroke_ms"] = nextKeystroke * 1000 / double(state.iterations());
    state.counters["save_refresh_ms"] = saveRefresh * 1000 / double(state.iterations());
    // The save started one more read, stopped with its model: it ends before the store file goes.
    QThreadPool::globalInstance()->waitForDone();
}

void BM_FirstKeystroke100kWorkerRead(benchmark::State &state)
{
    firstKeystroke(state, *StoreFile::shared().history);
}
BENCHMARK(BM_FirstKeystroke100kWorkerRead)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_FirstKeystroke100kMainThreadRead(benchmark::State &state)
{
    MainThreadOnly history(*StoreFile::shared().history);
    firstKeystroke(state, history);
}
BENCHMARK(BM_FirstKeystroke100kMainThreadRead)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

// The distinct source names of 100,000 saved clips, as the filter's read on a worker asks them.
void BM_SourceNames100k(benchmark::State &state)
{
    const HistoryStore::NamesRead read = StoreFile::shared().history->sourceAppNamesRead();
    for (auto _ : state)
        benchmark::DoNotOptimize(read()->size());
}
BENCHMARK(BM_SourceNames100k)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    return bench::runBenchmarks<QCoreApplication>(argc, argv);
}
