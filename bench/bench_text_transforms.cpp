// Cost of building a clip's transform menu (every transform is computed to decide what to
// offer) and of expanding a template, on large clips.

#include "BenchSupport.h"
#include "Quillmere/Clipboard/ClipTextTransform.h"
#include "Quillmere/Clipboard/SnippetExpander.h"

#include <QCoreApplication>
#include <QDateTime>
#include <benchmark/benchmark.h>

using namespace quillmere;

namespace {

QString jsonText(int items)
{
    QString out = QStringLiteral("{\"items\":[");
    for (int i = 0; i < items; ++i) {
        if (i)
            out += QLatin1Char(',');
        out +=
            QStringLiteral("{\"id\":%1,\"name\":\"item %1\",\"tags\":[\"a\",\"b\"],\"big\":123456789012345678901234}")
                .arg(i);
    }
    return out + QStringLiteral("]}");
}

QString proseWithLinks(int sentences)
{
    QString out;
    for (int i = 0; i < sentences; ++i)
        out += QStringLiteral("Read https://example.com/p/%1?utm_source=news&id=%1 or mail me%1@example.org. ").arg(i);
    return out;
}

void menuFor(benchmark::State &state, const QString &text)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(ClipTextTransform::available(std::optional<QString>(text)));
    state.SetBytesProcessed(state.iterations() * text.size() * 2);
}

void BM_MenuForJson(benchmark::State &state)
{
    menuFor(state, jsonText(int(state.range(0))));
}
void BM_MenuForProse(benchmark::State &state)
{
    menuFor(state, proseWithLinks(int(state.range(0))));
}

void BM_ExpandTemplate(benchmark::State &state)
{
    QString text;
    for (int i = 0; i < state.range(0); ++i)
        text += QStringLiteral("Line %1 on {date:yyyy-MM-dd} for {clipboard} \\{literal} {foo}\n").arg(i);
    text += QStringLiteral("{cursor}Regards");
    const SnippetContext context = SnippetContext::current(QDateTime::currentDateTime(), QStringLiteral("Ann"));
    for (auto _ : state)
        benchmark::DoNotOptimize(SnippetExpander::expand(text, context));
    state.SetBytesProcessed(state.iterations() * text.size() * 2);
}

} // namespace

BENCHMARK(BM_MenuForJson)->Arg(100)->Arg(5000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MenuForProse)->Arg(100)->Arg(5000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExpandTemplate)->Arg(10)->Arg(1000)->Unit(benchmark::kMillisecond);

int main(int argc, char **argv)
{
    return bench::runBenchmarks<QCoreApplication>(argc, argv);
}
