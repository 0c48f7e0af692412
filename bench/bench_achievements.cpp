// The Progress pane's achievements over a history of 10,000 clips, as the settings window
// computes them each time the pane is drawn: the goal is 50 ms at most, with no image or file
// bytes read from the store.
#include "BenchSupport.h"
#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/Core/Preferences.h"
#include "Quillmere/Settings/Core/SettingsViewModel.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

using namespace quillmere;

namespace {

constexpr int kClips = 10000;

struct Bench {
    QTemporaryDir dir;
    Preferences prefs{dir.filePath(QStringLiteral("prefs.json"))};
    NotificationCenter center;
    QDateTime t = QDateTime(QDate(2026, 3, 1), QTime(12, 0), Qt::UTC);
    Clock clock = [this] { return t = t.addMSecs(60000); };
    std::unique_ptr<ClipStore> store;

    void open()
    {
        store.reset();
        QString error;
        auto container = ModelContainer::open(dir.filePath(QStringLiteral("default.store")), clock, &error);
        if (!container)
            qFatal("Cannot open the store: %s", qPrintable(error));
        store = std::make_unique<ClipStore>(std::shared_ptr<ModelContainer>(container.release()),
                                            ClipStoreDependencies{&prefs, &center, clock, nullptr});
    }

    // Mostly text, a tenth images and files with bytes on disk, some pinned or on Pages.
    void fill()
    {
        open();
        std::vector<PageRef> pages;
        for (const char *name : {"Work", "Prompts", "Receipts", "Travel"})
            pages.push_back(store->createPage(QString::fromLatin1(name)));
        const QByteArray bytes(32 * 1024, 'x');
        for (int i = 0; i < kClips; ++i) {
            CapturedContent c;
            c.sourceAppName = QStringLiteral("App %1").arg(i % 23);
            if (i % 20 == 0) {
                c.kind = ClipKind::image;
                c.imageData = bytes + QByteArray::number(i);
                c.recognizedText = QStringLiteral("scanned words %1").arg(i);
            } else if (i % 20 == 1) {
                c.kind = ClipKind::file;
                c.fileData = bytes + QByteArray::number(i);
                c.fileName = QStringLiteral("file-%1.bin").arg(i);
            } else {
                c.kind = i % 5 == 2 ? ClipKind::url : ClipKind::text;
                c.text = QStringLiteral("clip number %1 with some ordinary words in it").arg(i);
            }
            ClipRef clip = store->makeClip(c);
            clip->setIsPinned(i % 11 == 0);
            store->context().insert(clip);
            if (i % 13 == 0)
                clip->setPinboard(pages[size_t(i) % pages.size()]);
        }
        if (!store->save())
            qFatal("Cannot save the store");
        open(); // every blob back on disk, as after a start
    }
};

void BM_AchievementsOf10000Clips(benchmark::State &state)
{
    Bench b;
    b.fill();
    SettingsViewModel::Dependencies deps;
    deps.preferences = &b.prefs;
    deps.store = b.store.get();
    SettingsViewModel model(std::move(deps));
    int unlocked = 0;
    for (auto _ : state) {
        const auto achievements = model.achievements();
        unlocked = ClipAchievement::unlockedCount(achievements);
        benchmark::DoNotOptimize(unlocked);
    }
    int loaded = 0;
    b.store->context().forEachClip([&](const ClipRef &clip) {
        loaded +=
            (clip->hasImageData() && clip->isImageDataLoaded()) || (clip->hasFileData() && clip->isFileDataLoaded());
    });
    if (loaded > 0)
        state.SkipWithError("computing the achievements loaded image or file bytes");
    state.counters["unlocked"] = unlocked;
    state.SetItemsProcessed(state.iterations() * kClips);
}
BENCHMARK(BM_AchievementsOf10000Clips)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    return bench::runBenchmarks<QCoreApplication>(argc, argv);
}
