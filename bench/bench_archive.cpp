// Backup and Page file encode/decode on large inputs.

#include "Quillmere/Archive/BackupArchive.h"
#include "Quillmere/Archive/PageFile.h"
#include "Quillmere/Platform/Core/Json.h"

#include <QRandomGenerator>
#include <benchmark/benchmark.h>

using namespace quillmere;

namespace {

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator random(seed);
    random.fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

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
}
BENCHMARK(BM_BackupEncode)->Arg(1000)->Arg(5000)->Unit(benchmark::kMillisecond);

void BM_BackupDecode(benchmark::State &state)
{
    const QByteArray file = *backup::encoded(backupOf(int(state.range(0))));
    for (auto _ : state)
        benchmark::DoNotOptimize(backup::decode(file).ok());
    state.SetBytesProcessed(state.iterations() * file.size());
}
BENCHMARK(BM_BackupDecode)->Arg(1000)->Arg(5000)->Unit(benchmark::kMillisecond);

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

BENCHMARK_MAIN();
