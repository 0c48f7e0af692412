// Clip store figures: inserts of new and repeated content at a history limit, filters and query
// words over every clip, the newest-first history, filling and reopening a store file, and
// start-up and the first capture with 10,000 and 100,000 clips, and the first starts of a store
// written before the capture order was kept, or by a tool that left it out.
#include "BenchSupport.h"
#include "Quillmere/Model/ClipSearch.h"
#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Model/FallbackStore.h"
#include "Quillmere/Model/StoreFileGuard.h"
#include "Quillmere/Model/StoreReader.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/Core/Preferences.h"
#include "Quillmere/Sync/SyncHealthStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTimer>
#include <benchmark/benchmark.h>

using namespace quillmere;

namespace {

constexpr int kClips = 10000;
constexpr int kPinned = 8000;
constexpr qint64 kLimit = 2000;

const QStringList kWords{QStringLiteral("invoice"), QStringLiteral("meeting"), QStringLiteral("recipe"),
                         QStringLiteral("deploy"),  QStringLiteral("kernel"),  QStringLiteral("garden"),
                         QStringLiteral("flight"),  QStringLiteral("budget"),  QStringLiteral("photo"),
                         QStringLiteral("report")};

QString sampleText(int i)
{
    return QStringLiteral("%1 %2 note number %3 about the %4 and the %5")
        .arg(kWords[i % 10], kWords[(i / 10) % 10])
        .arg(i)
        .arg(kWords[(i / 100) % 10], kWords[(i / 7) % 10]);
}

// A store of its own: a file in a temporary folder, its preferences, a clock that moves a
// millisecond per reading so that every clip has a date of its own.
struct Bench {
    QTemporaryDir dir;
    Preferences prefs{dir.filePath(QStringLiteral("prefs.json"))};
    NotificationCenter center;
    QDateTime t = QDateTime(QDate(2026, 3, 1), QTime(12, 0), Qt::UTC);
    Clock clock = [this] { return t = t.addMSecs(1); };
    SyncHealthStore health{prefs, clock};
    std::unique_ptr<ClipStore> store;
    QString storePath = dir.filePath(QStringLiteral("default.store"));

    QString path() const { return storePath; }

    void open()
    {
        store.reset();
        QString error;
        auto container = ModelContainer::open(path(), clock, &error);
        if (!container)
            qFatal("Cannot open the store: %s", qPrintable(error));
        ClipStoreDependencies deps;
        deps.preferences = &prefs;
        deps.notificationCenter = &center;
        deps.clock = clock;
        deps.auditRecorder = &health;
        store = std::make_unique<ClipStore>(std::shared_ptr<ModelContainer>(container.release()), deps);
    }

    // 10,000 clips: 8,000 pinned, 2,000 unsaved, one in fifty an image with 200 KB of bytes that
    // must stay on disk; then the limit, and the store read back from its file.
    void fill()
    {
        open();
        const QByteArray picture(200 * 1024, 'p');
        for (int i = 0; i < kClips; ++i) {
            CapturedContent content;
            content.kind = i % 50 == 0 ? ClipKind::image : ClipKind::text;
            content.text = sampleText(i);
            if (content.kind == ClipKind::image)
                content.imageData = picture;
            content.sourceAppName = QStringLiteral("App %1").arg(i % 7);
            ClipRef clip = store->makeClip(content);
            clip->setIsPinned(i < kPinned);
            store->context().insert(clip);
        }
        if (!store->save())
            qFatal("Cannot save the sample clips");
        store->setHistoryLimit(kLimit);
        open();
    }
};

void BM_InsertNewClipAtLimit(benchmark::State &state)
{
    Bench b;
    b.fill();
    int n = 0;
    for (auto _ : state) {
        CapturedContent content;
        content.text = QStringLiteral("fresh clip %1").arg(n++);
        content.sourceAppName = QStringLiteral("Editor");
        benchmark::DoNotOptimize(b.store->insertClip(content));
    }
    if (b.store->context().clipCount() != kClips)
        state.SkipWithError("pruning did not hold the history at its limit");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_InsertNewClipAtLimit)->Unit(benchmark::kMicrosecond);

void BM_InsertDuplicateClip(benchmark::State &state)
{
    Bench b;
    b.fill();
    const auto history = b.store->historyNewestFirst();
    int n = 0;
    for (auto _ : state) {
        CapturedContent content;
        content.text = history[size_t(n++ % 500)]->text();
        content.sourceAppName = QStringLiteral("Terminal %1").arg(n % 3);
        benchmark::DoNotOptimize(b.store->insertClip(content));
    }
    if (b.store->context().clipCount() != kClips)
        state.SkipWithError("a repeated copy added a clip");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_InsertDuplicateClip)->Unit(benchmark::kMicrosecond);

// The usual mix: a copy of something recent, then something new, and so on.
void BM_InsertAlternatingRepeatedAndNewClips(benchmark::State &state)
{
    Bench b;
    b.fill();
    const auto history = b.store->historyNewestFirst();
    int n = 0;
    for (auto _ : state) {
        CapturedContent content;
        content.text = n % 2 == 0 ? history[size_t((n / 2) % 500)]->text() : QStringLiteral("fresh clip %1").arg(n);
        content.sourceAppName = QStringLiteral("Editor");
        ++n;
        benchmark::DoNotOptimize(b.store->insertClip(content));
    }
    if (b.store->context().clipCount() != kClips)
        state.SkipWithError("pruning did not hold the history at its limit");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_InsertAlternatingRepeatedAndNewClips)->Unit(benchmark::kMicrosecond);

void BM_FiltersOnlyOverAllClips(benchmark::State &state)
{
    Bench b;
    b.fill();
    const auto clips = b.store->context().allClips();
    ClipSearchFilters filters;
    filters.kind = ClipKind::text;
    filters.date = ClipDateFilter::last30Days;
    const QDateTime now = b.t;
    for (auto _ : state) {
        int hits = 0;
        for (const ClipRef &clip : clips)
            hits +=
                ClipSearchFilters::matches({.kind = clip->kind(),
                                            .sourceAppName = &clip->sourceAppName(),
                                            .recognizedText = &clip->recognizedText(),
                                            .createdAt = clip->createdAt(),
                                            .isSaved = clip->isPinned() || clip->pinboard() || clip->isSavedToPage(),
                                            .isPinned = clip->isPinned(),
                                            .hasImageData = clip->hasImageData()},
                                           filters, now)
                ? 1
                : 0;
        benchmark::DoNotOptimize(hits);
    }
    state.SetItemsProcessed(state.iterations() * qint64(clips.size()));
}
BENCHMARK(BM_FiltersOnlyOverAllClips)->Unit(benchmark::kMillisecond);

void BM_HistoryNewestFirst(benchmark::State &state)
{
    Bench b;
    b.fill();
    for (auto _ : state)
        benchmark::DoNotOptimize(b.store->historyNewestFirst());
    state.SetItemsProcessed(state.iterations() * kClips);
}
BENCHMARK(BM_HistoryNewestFirst)->Unit(benchmark::kMillisecond);

// The whole history as another library reads it from the file, without and with every hash:
// the panel wants the rows, sync and backups the hashes too.
void BM_ReaderWholeHistory(benchmark::State &state)
{
    Bench b;
    b.fill();
    const bool withHashes = state.range(0) != 0;
    StoreReader reader(b.path());
    for (auto _ : state) {
        qint64 n = 0;
        reader.clipsNewestFirst(1000, [&](const storerow::Clip &c) {
            n += c.text ? c.text->size() : 0;
            if (withHashes)
                n += QString(c.contentHash).size();
        });
        benchmark::DoNotOptimize(n);
    }
    state.SetItemsProcessed(state.iterations() * kClips);
}
BENCHMARK(BM_ReaderWholeHistory)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Issue-2 figure: 10,000 captured text clips one save each, then the store opened again.
void BM_Insert10000TextClipsAndReopen(benchmark::State &state)
{
    for (auto _ : state) {
        Bench b;
        b.open();
        for (int i = 0; i < kClips; ++i) {
            CapturedContent content;
            content.text = sampleText(i);
            content.sourceAppName = QStringLiteral("Editor");
            b.store->insertClip(content);
        }
        b.open();
        if (b.store->context().clipCount() != kClips)
            state.SkipWithError("clips went missing across the reopen");
    }
    state.SetItemsProcessed(state.iterations() * kClips);
}
BENCHMARK(BM_Insert10000TextClipsAndReopen)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_ReopenStoreOf10000Clips(benchmark::State &state)
{
    Bench b;
    b.fill();
    for (auto _ : state)
        b.open();
    state.SetItemsProcessed(state.iterations() * kClips);
}
BENCHMARK(BM_ReopenStoreOf10000Clips)->Unit(benchmark::kMillisecond);

// A store file of `n` text clips from seven applications, none pinned, no limit. Written once per
// run, or kept in $QUILLMERE_BENCH_STORE_DIR across runs so that a run of one start-up figure
// alone (under /usr/bin/time -v, say) measures nothing but the start-up.
QString historyStore(int n)
{
    static QTemporaryDir scratch;
    const QString keep = qEnvironmentVariable("QUILLMERE_BENCH_STORE_DIR");
    const QString path =
        QDir(keep.isEmpty() ? scratch.path() : keep).filePath(QStringLiteral("history-%1.store").arg(n));
    if (QFileInfo::exists(path))
        return path;
    Bench b;
    b.storePath = path;
    b.open();
    for (int i = 0; i < n; ++i) {
        CapturedContent content;
        content.text = sampleText(i);
        content.sourceAppName = QStringLiteral("App %1").arg(i % 7);
        content.sourceAppBundleID = QStringLiteral("org.example.app%1").arg(i % 7);
        b.store->context().insert(b.store->makeClip(content));
    }
    if (!b.store->save())
        qFatal("Cannot save the sample clips");
    return path;
}

// Start-up with a history of n clips: the store opened and its expired clips swept, as at launch.
void BM_StartWithHistory(benchmark::State &state)
{
    Bench b;
    b.storePath = historyStore(int(state.range(0)));
    for (auto _ : state) {
        b.open();
        b.store->deleteExpiredTemporaryClips(b.store->now());
        state.PauseTiming();
        b.store.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_StartWithHistory)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(5);

// The first copy after start-up: one new clip into a history of n.
void BM_FirstCaptureAfterStart(benchmark::State &state)
{
    Bench b;
    b.storePath = historyStore(int(state.range(0)));
    int n = 0;
    for (auto _ : state) {
        state.PauseTiming();
        b.open();
        b.store->deleteExpiredTemporaryClips(b.store->now());
        CapturedContent content;
        content.text = QStringLiteral("first copy %1 of this start").arg(n++);
        content.sourceAppName = QStringLiteral("Editor");
        state.ResumeTiming();
        benchmark::DoNotOptimize(b.store->insertClip(content));
    }
}
BENCHMARK(BM_FirstCaptureAfterStart)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(5);

// The first start of a store of n clips written before the capture order was kept: the order is
// filled in from the dates and indexed, once.
void BM_FirstStartOfAStoreWithoutCaptureOrder(benchmark::State &state)
{
    const QString original = historyStore(int(state.range(0)));
    QTemporaryDir dir;
    Bench b;
    b.storePath = dir.filePath(QStringLiteral("previous.store"));
    for (auto _ : state) {
        state.PauseTiming();
        QFile::remove(b.storePath);
        if (!QFile::copy(original, b.storePath))
            qFatal("Cannot copy the sample store");
        {
            const QString name = QStringLiteral("bench-previous");
            {
                QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
                db.setDatabaseName(b.storePath);
                QSqlQuery q(db);
                if (!db.open() || !q.exec(QStringLiteral("DROP INDEX clips_by_capture"))
                    || !q.exec(QStringLiteral("ALTER TABLE clips DROP COLUMN captureOrder"))
                    || !q.exec(QStringLiteral("VACUUM")))
                    qFatal("Cannot make the store of the previous release");
            }
            QSqlDatabase::removeDatabase(name);
        }
        state.ResumeTiming();
        b.open();
        state.PauseTiming();
        b.store.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_FirstStartOfAStoreWithoutCaptureOrder)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3);

// The start of a store of 100,000 clips another tool wrote without a capture order: the first
// start (range 1) gives every clip its order; the second (range 2) finds none missing.
void BM_StartOfAStoreWithCaptureOrdersMissing(benchmark::State &state)
{
    const QString original = historyStore(100000);
    QTemporaryDir dir;
    Bench b;
    b.storePath = dir.filePath(QStringLiteral("tool.store"));
    for (auto _ : state) {
        state.PauseTiming();
        QFile::remove(b.storePath);
        if (!QFile::copy(original, b.storePath))
            qFatal("Cannot copy the sample store");
        {
            const QString name = QStringLiteral("bench-tool");
            {
                QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
                db.setDatabaseName(b.storePath);
                QSqlQuery q(db);
                if (!db.open() || !q.exec(QStringLiteral("UPDATE clips SET captureOrder = NULL"))
                    || !q.exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)")))
                    qFatal("Cannot take the capture orders out");
            }
            QSqlDatabase::removeDatabase(name);
        }
        for (int start = 1; start < state.range(0); ++start) {
            b.open();
            b.store.reset();
        }
        state.ResumeTiming();
        b.open();
        state.PauseTiming();
        b.store.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_StartOfAStoreWithCaptureOrdersMissing)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->Iterations(3);

// What the sync audit costs a capture on the main thread: its count, then the event loop's turn
// in which the preferences write what changed.
// Captures into a history of n clips (the second argument 1: its store cannot be opened, so the
// session goes on in the fallback store, which holds those n), each one saved as it comes: the
// p50/p99 of a capture, to set beside the store's own.
void BM_CaptureIntoFallbackOrStore(benchmark::State &state)
{
    QTemporaryDir home;
    qputenv("XDG_STATE_HOME", (home.path() + QStringLiteral("/state")).toUtf8());
    Bench b;
    const QString source = historyStore(int(state.range(0)));
    const bool fallback = state.range(1) != 0;
    if (fallback) {
        // A folder where the store should be; the history waits in its fallback store.
        QDir().mkpath(b.storePath);
        const auto place = FallbackStore::nameAndFolder(b.storePath);
        if (!place || !QFile::copy(source, place->first))
            qFatal("Cannot make the fallback store");
    } else if (!QFile::copy(source, b.storePath)) {
        qFatal("Cannot copy the sample store");
    }
    PersistenceSetup setup = ModelContainerFactory::makeSetup({b.storePath, b.clock});
    if (setup.container->isInMemory() || (setup.container->storeURL() == b.storePath) == fallback)
        qFatal("The history is not where the benchmark wants it");
    ClipStore store(setup.container, {&b.prefs, &b.center, b.clock, nullptr});
    std::vector<double> captures;
    int n = 0;
    for (auto _ : state) {
        CapturedContent content;
        content.text = QStringLiteral("copy %1 of this session ").arg(n++).repeated(4);
        content.sourceAppName = QStringLiteral("Editor");
        QElapsedTimer timer;
        timer.start();
        benchmark::DoNotOptimize(store.insertClip(content));
        captures.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    bench::reportPercentiles(state, captures, {50, 99});
}
BENCHMARK(BM_CaptureIntoFallbackOrStore)
    ->Args({10000, 0})
    ->Args({10000, 1})
    ->Args({100000, 0})
    ->Args({100000, 1})
    ->Iterations(2000)
    ->Unit(benchmark::kMicrosecond);

// A store of n clips deleted while the program runs, where its copy cannot be written at its path:
// the history is copied to a fallback store. The figure is the whole copy; the turns of the event
// loop meanwhile give p50/p99/max_ms, the longest the main thread was held.
void BM_FallbackCopyOfADeletedStore(benchmark::State &state)
{
    QTemporaryDir home;
    qputenv("XDG_STATE_HOME", (home.path() + QStringLiteral("/state")).toUtf8());
    qputenv("XDG_CACHE_HOME", (home.path() + QStringLiteral("/cache")).toUtf8());
    Bench b;
    const QString source = historyStore(int(state.range(0)));
    std::vector<double> holds;
    for (auto _ : state) {
        state.PauseTiming();
        QFile::remove(b.storePath);
        if (!QFile::copy(source, b.storePath))
            qFatal("Cannot copy the sample store");
        b.open();
        // The copy's name is taken: no copy can be made.
        QDir().mkdir(StoreFileGuard::rewritingPath(b.storePath));
        QFile::remove(b.storePath);
        QElapsedTimer turn;
        QTimer ticker;
        ticker.setInterval(0);
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            holds.push_back(double(turn.nsecsElapsed()) / 1e6);
            turn.restart();
        });
        state.ResumeTiming();
        turn.start();
        ticker.start();
        b.store->fileGuard().check();
        while (b.store->fileGuard().isCopying() || FallbackStore::all(b.storePath).isEmpty())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        // The turn that ended it.
        holds.push_back(double(turn.nsecsElapsed()) / 1e6);
        state.PauseTiming();
        ticker.stop();
        b.store.reset();
        for (const QString &file : FallbackStore::all(b.storePath))
            FallbackStore::remove(file);
        QDir().rmdir(StoreFileGuard::rewritingPath(b.storePath));
        state.ResumeTiming();
    }
    bench::reportPercentiles(state, holds, {50, 99});
}
BENCHMARK(BM_FallbackCopyOfADeletedStore)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_AuditOfACapture(benchmark::State &state)
{
    QTemporaryDir dir;
    Preferences prefs{dir.filePath(QStringLiteral("prefs.json"))};
    SyncHealthStore health{prefs, systemClock()};
    for (auto _ : state) {
        health.recordAdded(1);
        QCoreApplication::processEvents();
    }
}
BENCHMARK(BM_AuditOfACapture)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char **argv)
{
    return bench::runBenchmarks<QCoreApplication>(argc, argv);
}
