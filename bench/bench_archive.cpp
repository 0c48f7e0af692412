// Backup and Page file encode/decode on large inputs.

#include "BenchSupport.h"

#include "Quillmere/Archive/ArchiveImport.h"
#include "Quillmere/Archive/BackupArchive.h"
#include "Quillmere/Archive/PageFile.h"
#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Platform/Core/Json.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/Core/Preferences.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <zlib.h>

using namespace quillmere;
using quillmere::bench::randomBytes;

namespace {

// `count` clips: mostly text, every tenth with a 200 kB image.
ClipArchiveDocument backupOf(int count)
{
    ClipArchiveDocument doc;
    doc.manifest.exportedAt = QDateTime(QDate(2026, 3, 1), QTime(12, 0), Qt::UTC);
    doc.manifest.appVersion = QStringLiteral("0.1.0");
    const QString image = archive::encodeBase64(randomBytes(200 * 1024, 1));
    for (int i = 0; i < count; ++i) {
        ClipArchiveClip clip;
        clip.dedupID = uuidText(QUuid::createUuid());
        clip.createdAt = doc.manifest.exportedAt.addSecs(-i);
        clip.text =
            QStringLiteral("Clip number %1 with a sentence of ordinary text in it, https://example.org/%1").arg(i);
        clip.contentHash = QStringLiteral("%1").arg(i, 64, 16, QLatin1Char('0'));
        clip.sourceAppName = QStringLiteral("Editor");
        if (i % 10 == 0)
            clip.imageDataBase64 = image;
        doc.clips.push_back(clip);
    }
    doc.manifest.clipCount = count;
    return doc;
}

void BM_BackupEncode(benchmark::State &state)
{
    const ClipArchiveDocument doc = backupOf(int(state.range(0)));
    qint64 bytes = 0;
    for (auto _ : state)
        bytes = backup::encoded(doc)->size();
    state.counters["fileBytes"] = double(bytes);
    state.SetBytesProcessed(state.iterations() * bytes);
}
BENCHMARK(BM_BackupEncode)->Arg(1000)->Arg(5000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BackupDecode(benchmark::State &state)
{
    const QByteArray file = *backup::encoded(backupOf(int(state.range(0))));
    for (auto _ : state)
        benchmark::DoNotOptimize(backup::decode(file).ok());
    state.SetBytesProcessed(state.iterations() * file.size());
}
BENCHMARK(BM_BackupDecode)->Arg(1000)->Arg(5000)->Unit(benchmark::kMillisecond)->UseRealTime();

// A valid backup of about a megabyte holding one text of `range(0)` MiB: how far reading it
// takes the process (run under /usr/bin/time -v for the peak).
void BM_BackupHugeTextDecode(benchmark::State &state)
{
    const QByteArray before = QByteArrayLiteral(
        "{\"manifest\":{\"version\":1,\"pinboardCount\":0,\"clipCount\":1,\"exportedAt\":\"2026-03-01T13:00:00Z\","
        "\"appVersion\":\"0.1.0\"},\"pinboards\":[],\"clips\":[{\"dedupID\":\"6F9619FF-8B86-D011-B42D-00C04FC964FF\","
        "\"createdAt\":\"2026-02-28T09:15:30.125Z\",\"kind\":\"text\",\"text\":\"");
    const QByteArray after =
        QByteArrayLiteral("\",\"isPinned\":false,\"contentHash\":\"x\",\"isSavedToPage\":false}]}");
    z_stream stream{};
    deflateInit2(&stream, 9, Z_DEFLATED, -MAX_WBITS, 9, Z_DEFAULT_STRATEGY);
    QByteArray file;
    char buffer[64 * 1024];
    const QByteArray chunk(1 << 20, 'a');
    auto put = [&](const QByteArray &data, int flush) {
        stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
        stream.avail_in = uInt(data.size());
        do {
            stream.next_out = reinterpret_cast<Bytef *>(buffer);
            stream.avail_out = sizeof buffer;
            deflate(&stream, flush);
            file.append(buffer, qsizetype(sizeof buffer - stream.avail_out));
        } while (stream.avail_out == 0);
    };
    put(before, Z_NO_FLUSH);
    for (qint64 i = 0; i < state.range(0); ++i)
        put(chunk, Z_NO_FLUSH);
    put(after, Z_FINISH);
    deflateEnd(&stream);
    qsizetype kept = 0;
    for (auto _ : state) {
        const ClipArchiveReadResult read = backup::decode(file);
        kept = read.ok() ? read.value().clips.at(0).text->size() : -1;
    }
    state.counters["file_KiB"] = double(file.size()) / 1024;
    state.counters["text_kept"] = double(kept);
}
BENCHMARK(BM_BackupHugeTextDecode)->Arg(1000)->Unit(benchmark::kMillisecond)->Iterations(1);

// The whole road: a store of 5,000 clips, every tenth an image of 200 kB, written to a backup file
// and restored into an empty store.
struct StoreBench {
    QTemporaryDir dir;
    Preferences prefs{dir.filePath(QStringLiteral("prefs.json"))};
    NotificationCenter center;
    QDateTime t = QDateTime(QDate(2026, 3, 1), QTime(12, 0), Qt::UTC);
    Clock clock = [this] { return t = t.addMSecs(1); };
    std::unique_ptr<ClipStore> store;

    explicit StoreBench(const QString &name)
    {
        QString error;
        auto container = ModelContainer::open(dir.filePath(name), clock, &error);
        if (!container)
            qFatal("Cannot open the store: %s", qPrintable(error));
        ClipStoreDependencies deps;
        deps.preferences = &prefs;
        deps.notificationCenter = &center;
        deps.clock = clock;
        store = std::make_unique<ClipStore>(std::shared_ptr<ModelContainer>(container.release()), deps);
    }
    void fill(int count)
    {
        for (int i = 0; i < count; ++i) {
            CapturedContent content;
            content.kind = i % 10 == 0 ? ClipKind::image : ClipKind::text;
            content.text = QStringLiteral("Clip number %1 with a sentence of ordinary text in it").arg(i);
            if (content.kind == ClipKind::image)
                content.imageData = randomBytes(200 * 1024, quint32(i));
            store->context().insert(store->makeClip(content));
        }
        store->save();
    }
};

void BM_BackupExportFromStore(benchmark::State &state)
{
    StoreBench source(QStringLiteral("source.store"));
    source.fill(int(state.range(0)));
    const QString file = source.dir.filePath(QStringLiteral("out.quillmerebackup"));
    qint64 mainThreadMs = 0;
    for (auto _ : state) {
        // The document is taken on the main thread; the file work goes to the thread pool.
        QElapsedTimer main;
        main.start();
        backup::Snapshot snapshot =
            backup::Snapshot::take(source.store->context().clipsNewestFirst(), source.store->pages(), source.t,
                                   QStringLiteral("1"), source.store->container().storeURL());
        mainThreadMs = std::max(mainThreadMs, main.elapsed());
        backup::writeFile(file, std::move(snapshot).document().value());
    }
    state.counters["mainThreadMs"] = double(mainThreadMs);
    state.SetBytesProcessed(state.iterations() * QFileInfo(file).size());
}
BENCHMARK(BM_BackupExportFromStore)->Arg(5000)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

void BM_BackupRestoreIntoStore(benchmark::State &state)
{
    StoreBench source(QStringLiteral("source.store"));
    source.fill(int(state.range(0)));
    const QString file = source.dir.filePath(QStringLiteral("out.quillmerebackup"));
    backup::writeFile(file, ClipArchiveDocument::make(source.store->context().clipsNewestFirst(), {}, source.t, "1"));
    int n = 0;
    qint64 mainThreadMs = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto target = std::make_unique<StoreBench>(QStringLiteral("target%1.store").arg(n++));
        state.ResumeTiming();
        // Read and prepared on the thread pool; only the import itself holds the main thread.
        const ClipArchiveReadResult read = backup::readFile(file);
        if (!read.ok()) {
            state.SkipWithError("read failed");
            break;
        }
        const archive::PreparedArchive prepared = archive::prepareArchive(read.value());
        QElapsedTimer main;
        main.start();
        if (!archive::importArchive(*target->store, prepared))
            state.SkipWithError("restore failed");
        mainThreadMs = std::max(mainThreadMs, main.elapsed());
    }
    state.counters["mainThreadMs"] = double(mainThreadMs);
    state.SetBytesProcessed(state.iterations() * QFileInfo(file).size());
}
BENCHMARK(BM_BackupRestoreIntoStore)->Arg(5000)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

// A Page near the 40 MiB cap: 29 MiB of file payloads.
PageArchive largePage()
{
    PageArchive page;
    page.name = QStringLiteral("Big");
    page.colorName = QStringLiteral("blue");
    page.iconName = QStringLiteral("star");
    page.exportedAt = QDateTime(QDate(2026, 3, 1), QTime(12, 0), Qt::UTC);
    for (int i = 0; i < 29; ++i) {
        ArchivedClip clip;
        clip.kind = QStringLiteral("file");
        clip.fileName = QStringLiteral("file%1.bin").arg(i);
        clip.fileData = randomBytes(1 << 20, quint32(i));
        page.clips.push_back(clip);
    }
    return page;
}

void BM_PageFileEncode(benchmark::State &state)
{
    const PageArchive page = largePage();
    for (auto _ : state)
        benchmark::DoNotOptimize(pagefile::encoded(page).ok());
}
BENCHMARK(BM_PageFileEncode)->Unit(benchmark::kMillisecond);

void BM_PageFileDecode(benchmark::State &state)
{
    const QByteArray file = pagefile::encoded(largePage()).value();
    for (auto _ : state)
        benchmark::DoNotOptimize(pagefile::decode(file).ok());
    state.SetBytesProcessed(state.iterations() * file.size());
}
BENCHMARK(BM_PageFileDecode)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    return bench::runBenchmarks<QCoreApplication>(argc, argv);
}
